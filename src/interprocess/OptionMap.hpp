// A string-to-string map in shared memory: the options of one request, as
// text, found by the server under the name "<ticket>OptionMap".
#pragma once

#include <functional>
#include <utility>

#include <boost/functional/hash.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/unordered_map.hpp>

namespace Tarv {
namespace Interprocess {

template <class SegmentT, class StringT>
class OptionMap
    : public boost::unordered_map<
          StringT, StringT, boost::hash<StringT>, std::equal_to<StringT>,
          boost::interprocess::allocator<std::pair<StringT, StringT>, typename SegmentT::segment_manager>> {
public:
    using Base = boost::unordered_map<
        StringT, StringT, boost::hash<StringT>, std::equal_to<StringT>,
        boost::interprocess::allocator<std::pair<StringT, StringT>, typename SegmentT::segment_manager>>;

    // Initial bucket count asked for; Boost raises it to a prime of its table.
    static constexpr std::size_t kInitialBuckets = 3;

    explicit OptionMap(const SegmentT& segment)
        : Base(kInitialBuckets, boost::hash<StringT>(), std::equal_to<StringT>(),
               typename Base::allocator_type(segment.get_segment_manager())) {}
};

}  // namespace Interprocess
}  // namespace Tarv

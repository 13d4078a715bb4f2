#include "interprocess/SegmentState.hpp"

#include <cstdint>

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

namespace Tarv {
namespace Interprocess {
namespace {

namespace bip = boost::interprocess;

// Boost.Interprocess keeps a managed segment's initialisation state in the
// first 32-bit word: uninitialised 0, initialising 1, initialised 2,
// corrupted 3.
constexpr std::uint32_t kInitialisingSegment = 1;

}  // namespace

SegmentState InspectSegment(const char* name) {
    try {
        bip::shared_memory_object object(bip::open_only, name, bip::read_only);
        bip::offset_t size = 0;
        if (!object.get_size(size) || size < static_cast<bip::offset_t>(sizeof(std::uint32_t)))
            return SegmentState::Unready;
        bip::mapped_region head(object, bip::read_only, 0, sizeof(std::uint32_t));
        const volatile std::uint32_t* word = static_cast<const volatile std::uint32_t*>(head.get_address());
        return *word <= kInitialisingSegment ? SegmentState::Unready : SegmentState::Ready;
    } catch (const bip::interprocess_exception&) {
        return SegmentState::Missing;
    }
}

}  // namespace Interprocess
}  // namespace Tarv

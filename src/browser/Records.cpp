#include "browser/Records.hpp"

#include <cstring>
#include <stdexcept>

#include <boost/lexical_cast.hpp>

#include "interprocess/Names.hpp"

namespace Tarv {
namespace Browser {

// The records are not standard-layout (their strings have constructors), but
// GCC lays them out in declaration order; offsetof checks that order.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(Request, url) == 0, "Request::url first");
static_assert(offsetof(Request, ticket) == 32, "Request::ticket second");
static_assert(offsetof(Request, options) == 64, "Request::options third");
static_assert(offsetof(ServerResult, url) == 0, "ServerResult::url first");
static_assert(offsetof(ServerResult, lastModified) == 32, "ServerResult::lastModified second");
static_assert(offsetof(ServerResult, src) == 64, "ServerResult::src third");
static_assert(offsetof(ServerResult, snapshot) == 96, "ServerResult::snapshot fourth");
#pragma GCC diagnostic pop

template <class TagT>
void Request::PutIntoInterprocessOptionMap::operator()() const {
    const typename TagT::type& native = boost::any_cast<const typename TagT::type&>(position->second);
    const std::string text = boost::lexical_cast<std::string>(native);
    value.assign(text.data(), text.size());
    key.assign(position->first.data(), position->first.size());
    options->insert(std::pair<ShmString, ShmString>(key, value));
}

Request::Request(const Segment& segment, const std::string& u, const std::string& t, const RequestOptions& opts)
    : url(u.data(), u.size(), ShmString::allocator_type(segment.get_segment_manager())),
      ticket(t.data(), t.size(), ShmString::allocator_type(segment.get_segment_manager())),
      options(nullptr) {
    const std::string mapName = Interprocess::FormatName("Request", kOptionMapNameFormat, ticket.c_str());
    options = segment.get_segment_manager()->construct<OptionMap>(mapName.c_str())(segment);

    using Seq = Option::List;
    using First = boost::mpl::begin<Seq>::type;
    using EndIt = boost::mpl::end<Seq>::type;
    for (RequestOptions::const_iterator entry = opts.begin(); entry != opts.end(); ++entry) {
        ShmString key(ShmString::allocator_type(segment.get_segment_manager()));
        ShmString value(ShmString::allocator_type(segment.get_segment_manager()));
        try {
            ApplyOptions<Seq, First, boost::is_same<First, EndIt>::value, 0>()(
                PutIntoInterprocessOptionMap{entry, options, key, value});
        } catch (...) {
            throw std::invalid_argument("Illegal option or option value: " + entry->first);
        }
    }
}

ServerResult::ServerResult(const Segment& segment)
    : url(ShmString::allocator_type(segment.get_segment_manager())),
      lastModified(ShmString::allocator_type(segment.get_segment_manager())),
      src(ShmString::allocator_type(segment.get_segment_manager())),
      snapshot(ShmString::allocator_type(segment.get_segment_manager())) {}

bool IsDeadResult(const ServerResult& record) {
    return record.lastModified.size() == 4 && std::memcmp(record.lastModified.data(), kDeadMark, 4) == 0;
}

Result::Result(const char* u, const char* lm, const char* s, const char* snap, std::uint64_t snapSize)
    : url(u), lastModified(lm), src(s), snapshot(snapSize ? std::string(snap, snapSize) : std::string()) {}

Result CopyResult(const ServerResult& record) {
    return Result(record.url.c_str(), record.lastModified.c_str(), record.src.c_str(), record.snapshot.data(),
                  record.snapshot.size());
}

}  // namespace Browser
}  // namespace Tarv

// The records that cross between client and browser server, and the
// process-local result value. Request and ServerResult live in shared memory
// and are a wire format: their field order and sizes are checked below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/mpl/begin_end.hpp>
#include <boost/mpl/deref.hpp>
#include <boost/mpl/next.hpp>
#include <boost/mpl/string.hpp>
#include <boost/type_traits/is_same.hpp>

#include "browser/Options.hpp"
#include "interprocess/OptionMap.hpp"
#include "interprocess/Segment.hpp"

namespace Tarv {
namespace Interprocess {
using RequestOptionMap = OptionMap<Segment, String>;
}

namespace Browser {

using Interprocess::Segment;
using ShmString = Interprocess::String;

// Suffix of the option map's name: "<ticket>OptionMap".
constexpr const char* kOptionMapNameFormat = "%sOptionMap";

class Request {
public:
    using OptionMap = Interprocess::RequestOptionMap;

    // Builds the record in place inside `segment` (construct it there as an
    // anonymous object, passing the same segment), and the option map
    // "<ticket>OptionMap" beside it. Throws std::invalid_argument
    // ("Illegal option or option value: " + key) for an option of the wrong
    // type, Boost.Interprocess errors when the segment lacks room or the map's
    // name is taken.
    Request(const Segment& segment, const std::string& url, const std::string& ticket,
            const RequestOptions& options);

    // Walks the option tags from It; true when no tag matched.
    template <class Seq, class It, bool End, int Pos>
    struct ApplyOptions {
        template <class F>
        bool operator()(F f) const {
            using TagT = typename boost::mpl::deref<It>::type;
            if (f.position->first == boost::mpl::c_str<typename TagT::key>::value) {
                f.template operator()<TagT>();
                return false;
            }
            using Next = typename boost::mpl::next<It>::type;
            using EndIt = typename boost::mpl::end<Seq>::type;
            return ApplyOptions<Seq, Next, boost::is_same<Next, EndIt>::value, Pos + 1>()(f);
        }
    };
    template <class Seq, class It, int Pos>
    struct ApplyOptions<Seq, It, true, Pos> {
        template <class F>
        bool operator()(F) const {
            return true;
        }
    };

    // Puts the entry at `position` into the option map as text.
    struct PutIntoInterprocessOptionMap {
        RequestOptions::const_iterator position;
        OptionMap*& options;
        ShmString& key;
        ShmString& value;

        template <class TagT>
        void operator()() const;
    };

    ShmString url;
    ShmString ticket;
    // Address in the mapping of the process that built the request; other
    // processes find the map by its name.
    OptionMap* options;
};

class ServerResult {
public:
    explicit ServerResult(const Segment& segment);

    ShmString url;
    ShmString lastModified;  // exactly "DEAD" marks a dead result
    ShmString src;
    ShmString snapshot;      // all bytes count, NUL included
};

// True when `record` is the server's refusal: lastModified is exactly "DEAD".
bool IsDeadResult(const ServerResult& record);
constexpr const char* kDeadMark = "DEAD";

// The process-local copy of a server result; immutable.
class Result {
public:
    Result(const char* url, const char* lastModified, const char* src, const char* snapshot,
           std::uint64_t snapshotSize);
    Result(const Result&) = default;

    const std::string url;
    const std::string lastModified;
    const std::string src;
    const std::string snapshot;
};

// Copies a taken server record: three texts up to their first NUL, the
// snapshot whole.
Result CopyResult(const ServerResult& record);

// Wire format, checked against the layouts a separately built server reads.
static_assert(sizeof(ShmString) == 32, "shared-memory string must occupy 32 bytes");
static_assert(sizeof(Request) == 72, "Request must occupy 72 bytes");
static_assert(sizeof(ServerResult) == 128, "ServerResult must occupy 128 bytes");
static_assert(sizeof(Interprocess::RequestOptionMap) == 64,
              "OptionMap (a boost::unordered_map over the segment allocator) occupies 64 bytes with Boost 1.74");
static_assert(sizeof(Interprocess::RequestOptionMap) == sizeof(Interprocess::RequestOptionMap::Base),
              "OptionMap adds no fields");

}  // namespace Browser
}  // namespace Tarv

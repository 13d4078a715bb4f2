// The server's own sizes and time limits, in one place. The protocol's fixed
// values (names, the ticket segment's size) are in browser/Protocol.hpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace Tarv {
namespace Server {
namespace Limits {

// Request segment, unless --segment-size says otherwise; and the least it may be.
constexpr std::size_t kDefaultSegmentSize = 64u * 1024u * 1024u;
constexpr std::size_t kMinSegmentSize = 64u * 1024u;

// Time an engine has for one request, unless --engine-timeout says otherwise.
constexpr std::chrono::milliseconds kDefaultEngineTimeout{60000};

// A client creates its ticket segment and result channel only after queueing
// the request: the worker keeps trying to open them this long, sleeping
// between tries from the first pause up to the longest one.
constexpr std::chrono::milliseconds kTicketWait{5000};
constexpr std::chrono::milliseconds kTicketFirstPause{2};
constexpr std::chrono::milliseconds kTicketLongestPause{50};

// Longest single wait of an idle worker on the request channel (lock and
// condition), so that it notices a stop promptly.
constexpr std::int32_t kTakePollMs = 200;

// Pause of a worker after an unexpected error of the request channel.
constexpr std::chrono::milliseconds kTakeErrorPause{100};

// Lock of a result channel when appending the answer.
constexpr std::int32_t kResultLockMs = 10000;

// On stop, how long requests in flight may take to finish.
constexpr std::chrono::milliseconds kDrainLimit{10000};

}  // namespace Limits
}  // namespace Server
}  // namespace Tarv

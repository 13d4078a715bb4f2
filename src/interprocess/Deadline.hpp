#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Tarv {
namespace Interprocess {

// The longest time-out of the channel layer, and what a time-out of 0 means.
constexpr std::int32_t kMaxTimeoutMs = 2147483647;

// Absolute deadline `timeoutMs` from now on the UTC microsecond clock; a
// time-out of 0 stands for kMaxTimeoutMs. Computed once per call and used for
// every wait of that call.
inline boost::posix_time::ptime DeadlineAfter(std::int32_t timeoutMs) {
    const std::int32_t ms = timeoutMs == 0 ? kMaxTimeoutMs : timeoutMs;
    return boost::posix_time::microsec_clock::universal_time() + boost::posix_time::milliseconds(ms);
}

}  // namespace Interprocess
}  // namespace Tarv

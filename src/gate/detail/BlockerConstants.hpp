// Fixed values of the admission gate.
#pragma once

namespace Tarv {
namespace Browser {
namespace detail {

// The logger every record of the gate goes to.
constexpr const char* kBlockerLoggerName = "Blocker";

// An entry whose admission stamp lags the processor-time clock by more than
// this many clock() ticks is dropped by the sweep of a blocked Add.
constexpr long kSweepAgeTicks = 299999999999L;

// Texts of the errors the gate raises.
constexpr const char* kAlreadyAdded = "This thread has been added into blocker.";
constexpr const char* kNotAdded = "This thread have not added into blocker yet.";

}  // namespace detail
}  // namespace Browser
}  // namespace Tarv

// The fixed time limits of the client side, in one place.
#pragma once

#include <cstdint>

namespace Tarv {
namespace Browser {

struct TimeLimits {
    std::int32_t firstLookMs = 50;         // first look for an answer already queued
    std::int32_t sliceMs = 15000;          // one long wait for the answer
    int slices = 20;                       // long waits, with a liveness test after each
    std::int32_t requestLockMs = 180000;   // lock of the server's request channel
    std::int32_t serverPollMs = 100;       // between liveness tests while Push waits for the server
    int serverPolls = 600;                 // liveness tests while Push waits
    std::int32_t admissionMs = 300000;     // one wait for a free slot in the gate
};

// The limits in force: the defaults above unless a test changed them.
const TimeLimits& CurrentTimeLimits();

namespace Testing {
// Test seam. Tests shorten the limits either in-process through this call or,
// for a process they start, through the environment variable
// TARV_TEST_TIME_LIMITS, read once, e.g. "firstLook=50,slice=300,slices=3"
// (keys: firstLook slice slices requestLock serverPoll serverPolls admission).
void SetTimeLimits(const TimeLimits& limits);
constexpr const char* kEnvironmentVariable = "TARV_TEST_TIME_LIMITS";
}  // namespace Testing

}  // namespace Browser
}  // namespace Tarv

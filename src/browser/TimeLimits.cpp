#include "browser/TimeLimits.hpp"

#include <cstdlib>
#include <sstream>
#include <string>

namespace Tarv {
namespace Browser {
namespace {

TimeLimits FromEnvironment() {
    TimeLimits limits;
    const char* text = std::getenv(Testing::kEnvironmentVariable);
    if (!text) return limits;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const std::string::size_type eq = item.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = item.substr(0, eq);
        const long value = std::strtol(item.c_str() + eq + 1, nullptr, 10);
        if (key == "firstLook") limits.firstLookMs = static_cast<std::int32_t>(value);
        else if (key == "slice") limits.sliceMs = static_cast<std::int32_t>(value);
        else if (key == "slices") limits.slices = static_cast<int>(value);
        else if (key == "requestLock") limits.requestLockMs = static_cast<std::int32_t>(value);
        else if (key == "serverPoll") limits.serverPollMs = static_cast<std::int32_t>(value);
        else if (key == "serverPolls") limits.serverPolls = static_cast<int>(value);
        else if (key == "admission") limits.admissionMs = static_cast<std::int32_t>(value);
    }
    return limits;
}

TimeLimits& Storage() {
    static TimeLimits limits = FromEnvironment();
    return limits;
}

}  // namespace

const TimeLimits& CurrentTimeLimits() { return Storage(); }

void Testing::SetTimeLimits(const TimeLimits& limits) { Storage() = limits; }

}  // namespace Browser
}  // namespace Tarv

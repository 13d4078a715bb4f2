#include "interprocess/Names.hpp"

#include <cstdio>
#include <stdexcept>

namespace Tarv {
namespace Interprocess {
namespace {

[[noreturn]] void RejectLong(const char* operation, const char* format, const char* text) {
    std::string shown = text ? std::string(text).substr(0, 64) : std::string();
    throw std::invalid_argument(std::string(operation) + ": name too long (more than " +
                                std::to_string(kNameBufferSize - 1) + " bytes): format \"" + format +
                                "\" with \"" + shown + "...\"");
}

}  // namespace

std::string FormatName(const char* operation, const char* format, const char* text) {
    char buffer[kNameBufferSize] = {};
    int n = std::snprintf(buffer, sizeof buffer, format, text);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) RejectLong(operation, format, text);
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string FormatName(const char* operation, const char* format, long number) {
    char buffer[kNameBufferSize] = {};
    int n = std::snprintf(buffer, sizeof buffer, format, number);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) RejectLong(operation, format, "");
    return std::string(buffer, static_cast<std::size_t>(n));
}

ChannelNames MakeChannelNames(const char* operation, const char* name) {
    return ChannelNames{FormatName(operation, "%s_Channel_Mutex", name),
                        FormatName(operation, "%s_Channel_Condition", name)};
}

}  // namespace Interprocess
}  // namespace Tarv

// Formatting of the names of named objects.
#pragma once

#include <cstddef>
#include <string>

namespace Tarv {
namespace Interprocess {

// Every name is formatted into a buffer of this many bytes (terminating NUL
// included); a name that would not fit is rejected.
constexpr std::size_t kNameBufferSize = 512;

// Formats `format` with one C-string argument into a name. Throws
// std::invalid_argument("<operation>: name too long: <start of name>...") when
// the result does not fit into kNameBufferSize bytes.
std::string FormatName(const char* operation, const char* format, const char* text);

// The same with one decimal number (process ids).
std::string FormatName(const char* operation, const char* format, long number);

// The names a channel called `name` uses.
struct ChannelNames {
    std::string mutex;      // "<name>_Channel_Mutex"
    std::string condition;  // "<name>_Channel_Condition"
};
ChannelNames MakeChannelNames(const char* operation, const char* name);

}  // namespace Interprocess
}  // namespace Tarv

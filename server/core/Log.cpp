#include "core/Log.hpp"

#include <cstdio>

namespace Tarv {
namespace Server {
namespace {
constexpr std::size_t kLongestLoggedText = 256;
}

std::string ForLog(const std::string& text) {
    std::string shown;
    shown.reserve(text.size() < kLongestLoggedText ? text.size() : kLongestLoggedText);
    for (std::size_t i = 0; i < text.size() && i < kLongestLoggedText; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8] = {};
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    if (text.size() > kLongestLoggedText) shown += "...";
    return shown;
}

}  // namespace Server
}  // namespace Tarv

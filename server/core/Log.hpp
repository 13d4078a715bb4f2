// The server's logger and the source paths its records name. Records are
// written with TARV_LOG (config/Log.hpp), which never throws into its caller.
#pragma once

#include <string>

#include <log4cplus/logger.h>

#include "config/Log.hpp"

namespace Tarv {
namespace Server {

constexpr const char* kLoggerName = "BrowserServer";
constexpr const char* kSourceServer = "server/core/Server";
constexpr const char* kSourceWorker = "server/core/Worker";
constexpr const char* kSourceScript = "server/engines/Script";

inline log4cplus::Logger ServerLogger() { return log4cplus::Logger::getInstance(kLoggerName); }

// A text fit for a log line: bytes outside printable ASCII become \xNN and
// long texts are cut (URLs may hold NUL bytes and anything else).
std::string ForLog(const std::string& text);

}  // namespace Server
}  // namespace Tarv

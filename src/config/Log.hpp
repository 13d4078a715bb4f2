// How every unit writes a log record: the record is built only when the
// logger is enabled for its level, its pieces are streamed one after the other
// into a fresh string stream, and it is handed to forcedLog with the unit's
// source path and the line. Writing a record never throws into its caller.
#pragma once

#include <sstream>

#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

namespace Tarv {
namespace Logging {

// Source paths named in the records.
constexpr const char* kSourceClient = "Extension/browser/Kernel/Client";
constexpr const char* kSourceBlocker = "Extension/browser/Kernel/Blocker";
constexpr const char* kSourceMain = "Extension/browser/Kernel/Main";
constexpr const char* kSourceConfig = "Extension/browser/Kernel/Config";

}  // namespace Logging
}  // namespace Tarv

// TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceClient, "a" << 1 << text);
#define TARV_LOG(logger, level, source, pieces)                                  \
    do {                                                                         \
        try {                                                                    \
            if ((logger).isEnabledFor(level)) {                                  \
                std::ostringstream tarv_log_stream_;                             \
                tarv_log_stream_ << pieces;                                      \
                (logger).forcedLog((level), tarv_log_stream_.str(), (source), __LINE__); \
            }                                                                    \
        } catch (...) {                                                          \
        }                                                                        \
    } while (0)

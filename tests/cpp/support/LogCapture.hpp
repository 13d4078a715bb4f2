// Records written to a log4cplus logger, captured for a test.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

namespace Tarv {
namespace Testing {

// Attaches itself to a logger (the root logger for the empty name) at the
// given level for its lifetime; restores the logger's level afterwards.
class LogCapture {
public:
    explicit LogCapture(const std::string& loggerName = "", log4cplus::LogLevel level = log4cplus::DEBUG_LOG_LEVEL);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // "LEVEL message" lines, in order.
    std::vector<std::string> Lines() const;
    // Messages only, in order.
    std::vector<std::string> Messages() const;
    bool Contains(const std::string& message) const;
    int Count(const std::string& message) const;
    // Whether the messages appear in this order (others may come between).
    bool InOrder(const std::vector<std::string>& messages) const;
    void Clear();

    struct Entry {
        std::string level;
        std::string message;
    };

private:
    class Sink;
    log4cplus::Logger logger_;
    log4cplus::LogLevel previous_;
    log4cplus::SharedAppenderPtr sink_;
    Sink* raw_;
};

}  // namespace Testing
}  // namespace Tarv

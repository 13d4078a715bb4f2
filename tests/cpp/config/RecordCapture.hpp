// Test support: an appender that keeps every record it receives, and an RAII
// guard that attaches one to a logger for the length of a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

namespace Tarv {
namespace Testing {

struct CapturedRecord {
    log4cplus::LogLevel level;
    std::string message;
    std::string source;  // the source path handed to forcedLog
};

class CapturingAppender : public log4cplus::Appender {
public:
    ~CapturingAppender() override { destructorImpl(); }
    void close() override {}

    std::vector<CapturedRecord> Records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const CapturedRecord& record : Records()) messages.push_back(record.message);
        return messages;
    }

    std::size_t Count(const std::string& message) const {
        std::size_t count = 0;
        for (const CapturedRecord& record : Records()) count += record.message == message ? 1 : 0;
        return count;
    }

    // Waits until `message` has been received at least `count` times.
    bool WaitFor(const std::string& message, std::size_t count,
                 std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const CapturedRecord& record : records_) seen += record.message == message ? 1 : 0;
            return seen >= count;
        });
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back({event.getLogLevel(), event.getMessage(), event.getFile()});
        }
        arrived_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<CapturedRecord> records_;
};

// Attaches a CapturingAppender named `appenderName` to `logger` and sets the
// logger's level; the destructor detaches it and restores the level.
class RecordCapture {
public:
    explicit RecordCapture(log4cplus::Logger logger,
                           log4cplus::LogLevel level = log4cplus::DEBUG_LOG_LEVEL,
                           const std::string& appenderName = "capture")
        // log4cplus's intrusive handle is built from the raw pointer.
        : logger_(std::move(logger)), capture_(new CapturingAppender),
          previousLevel_(logger_.getLogLevel()) {
        capture_->setName(appenderName);
        logger_.addAppender(log4cplus::SharedAppenderPtr(capture_.get()));
        logger_.setLogLevel(level);
    }
    ~RecordCapture() {
        logger_.removeAppender(log4cplus::SharedAppenderPtr(capture_.get()));
        logger_.setLogLevel(previousLevel_);
    }
    RecordCapture(const RecordCapture&) = delete;
    RecordCapture& operator=(const RecordCapture&) = delete;

    const CapturingAppender& operator*() const { return *capture_; }
    const CapturingAppender* operator->() const { return capture_.get(); }

private:
    log4cplus::Logger logger_;
    log4cplus::helpers::SharedObjectPtr<CapturingAppender> capture_;
    log4cplus::LogLevel previousLevel_;
};

}  // namespace Testing
}  // namespace Tarv

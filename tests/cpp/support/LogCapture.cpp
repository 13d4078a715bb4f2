#include "support/LogCapture.hpp"

#include <algorithm>

#include <log4cplus/spi/loggingevent.h>

namespace Tarv {
namespace Testing {

class LogCapture::Sink : public log4cplus::Appender {
public:
    Sink() { setName("test-capture"); }
    ~Sink() override { destructorImpl(); }
    void close() override {}

    std::vector<Entry> Entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(Entry{log4cplus::getLogLevelManager().toString(event.getLogLevel()), event.getMessage()});
    }

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

LogCapture::LogCapture(const std::string& name, log4cplus::LogLevel level)
    : logger_(name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name)),
      previous_(logger_.getLogLevel()) {
    raw_ = new Sink();
    sink_ = log4cplus::SharedAppenderPtr(raw_);
    logger_.addAppender(sink_);
    logger_.setLogLevel(level);
}

LogCapture::~LogCapture() {
    logger_.removeAppender(sink_);
    logger_.setLogLevel(previous_);
}

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> lines;
    for (const auto& e : raw_->Entries()) lines.push_back(e.level + " " + e.message);
    return lines;
}

std::vector<std::string> LogCapture::Messages() const {
    std::vector<std::string> messages;
    for (const auto& e : raw_->Entries()) messages.push_back(e.message);
    return messages;
}

bool LogCapture::Contains(const std::string& message) const { return Count(message) > 0; }

int LogCapture::Count(const std::string& message) const {
    const auto all = Messages();
    return static_cast<int>(std::count(all.begin(), all.end(), message));
}

bool LogCapture::InOrder(const std::vector<std::string>& wanted) const {
    const auto all = Messages();
    auto at = all.begin();
    for (const auto& w : wanted) {
        at = std::find(at, all.end(), w);
        if (at == all.end()) return false;
        ++at;
    }
    return true;
}

void LogCapture::Clear() { raw_->Clear(); }

}  // namespace Testing
}  // namespace Tarv

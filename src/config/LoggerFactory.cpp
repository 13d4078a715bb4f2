#include "config/LoggerFactory.hpp"

#include <ios>
#include <memory>

#include <log4cplus/appender.h>
#include <log4cplus/config.hxx>
#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/loglevel.h>

#include "config/detail/Constants.hpp"

namespace Tarv {
namespace Logging {

namespace {

constexpr bool kConsoleToStdErr = false;
constexpr bool kConsoleImmediateFlush = false;
constexpr bool kFileImmediateFlush = true;

// log4cplus takes ownership of an appender through its intrusive handle,
// which is built from the raw pointer.
log4cplus::SharedAppenderPtr MakeConsoleAppender() {
    return log4cplus::SharedAppenderPtr(
        new log4cplus::ConsoleAppender(kConsoleToStdErr, kConsoleImmediateFlush));
}

log4cplus::SharedAppenderPtr MakeFileAppender(const std::string& file) {
    return log4cplus::SharedAppenderPtr(
        new log4cplus::FileAppender(file, std::ios_base::app, kFileImmediateFlush));
}

void Dress(log4cplus::SharedAppenderPtr& appender, const char* name) {
    appender->setName(name);
    appender->setLayout(std::make_unique<log4cplus::PatternLayout>(detail::kLayoutPattern));
}

}  // namespace

log4cplus::Logger LoggerFactory::InitLogger() {
    log4cplus::initialize();
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    // log4cplus is one per process: when the root logger already carries the
    // set-up of an earlier start-up (the other deliverable, or a second
    // start-up), a second console appender would print every record twice.
    if (root.getAppender(detail::kDefaultAppenderName) || root.getAppender(detail::kConfigAppenderName))
        return root;
    log4cplus::SharedAppenderPtr appender = MakeConsoleAppender();
    Dress(appender, detail::kDefaultAppenderName);
    root.addAppender(appender);
    root.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    return root;
}

bool LoggerFactory::ConfigLogger(const std::string& name, const std::string& level,
                                 const std::string& file) {
    log4cplus::Logger logger =
        name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name);

    // Only the logger's own appenders count, not those it inherits.
    const bool hadDefault = logger.getAppender(detail::kDefaultAppenderName).get() != nullptr;
    const bool hadConfig = logger.getAppender(detail::kConfigAppenderName).get() != nullptr;
    const bool result = (name.empty() && hadDefault) || hadConfig;

    if (hadDefault) logger.removeAppender(detail::kDefaultAppenderName);
    if (hadConfig) logger.removeAppender(detail::kConfigAppenderName);

    log4cplus::SharedAppenderPtr appender =
        file.empty() ? MakeConsoleAppender() : MakeFileAppender(file);
    Dress(appender, detail::kConfigAppenderName);
    logger.addAppender(appender);

    // An unknown name gives NOT_SET: a named logger then inherits its
    // parent's level. The root logger has no parent and keeps its level
    // (log4cplus 2.0 would store NOT_SET on it and so enable every level).
    const log4cplus::LogLevel newLevel = log4cplus::getLogLevelManager().fromString(level);
    if (!(name.empty() && newLevel == log4cplus::NOT_SET_LOG_LEVEL)) logger.setLogLevel(newLevel);
    return result;
}

}  // namespace Logging
}  // namespace Tarv

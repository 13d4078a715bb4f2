// The logger factory: the start-up console output, re-targeting with its
// result rules, the line layout, and the file appender's behaviour.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include "config/ChildProcess.hpp"
#include "config/Log.hpp"
#include "config/LoggerFactory.hpp"
#include "config/RecordCapture.hpp"

namespace {

using Tarv::Logging::LoggerFactory;
using Tarv::Testing::ReadFile;
using Tarv::Testing::RunInChild;
using Tarv::Testing::ScratchDirectory;
using Tarv::Testing::WriteFile;

log4cplus::Initializer log4cplusInitializer;

// True when `text` is exactly one line of the layout
// "%D{%Y-%m-%d %H:%M:%S,%q} - %p - Thread: %t - %m%n" for `level` and `message`.
bool IsLayoutLine(const std::string& text, const std::string& level, const std::string& message) {
    const std::string stamp = "dddd-dd-dd dd:dd:dd,ddd";
    if (text.size() < stamp.size()) return false;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (stamp[i] == 'd' ? !digit : text[i] != stamp[i]) return false;
    }
    const std::string head = " - " + level + " - Thread: ";
    if (text.compare(stamp.size(), head.size(), head) != 0) return false;
    const std::size_t thread = stamp.size() + head.size();
    const std::size_t afterThread = text.find(' ', thread);
    if (afterThread == std::string::npos || afterThread == thread) return false;
    return text.substr(afterThread) == " - " + message + "\n";
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool HasOwnAppender(log4cplus::Logger logger, const char* name) {
    return logger.getAppender(name).get() != nullptr;
}

// Drops a test logger's appenders (closing its files) when the test ends.
struct DetachAppenders {
    log4cplus::Logger logger;
    ~DetachAppenders() {
        logger.removeAllAppenders();
        logger.setLogLevel(log4cplus::NOT_SET_LOG_LEVEL);
    }
};

void RedirectDescriptor(int descriptor, const std::string& path) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_NE(-1, file);
    ASSERT_NE(-1, dup2(file, descriptor));
    close(file);
}

TEST(LoggerFactoryTest, InitLoggerWritesRootRecordsToStandardOutputFromInfo) {
    const ScratchDirectory scratch("logstart");
    const std::string out = scratch.File("stdout.txt");
    const std::string err = scratch.File("stderr.txt");
    RunInChild([&] {
        RedirectDescriptor(STDOUT_FILENO, out);
        RedirectDescriptor(STDERR_FILENO, err);
        log4cplus::Logger root = LoggerFactory::InitLogger();
        EXPECT_EQ(log4cplus::Logger::getRoot().getName(), root.getName());
        EXPECT_TRUE(HasOwnAppender(root, "default"));
        EXPECT_FALSE(HasOwnAppender(root, "config"));
        EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, root.getLogLevel());
        TARV_LOG(root, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceMain, "hidden debug");
        TARV_LOG(root, log4cplus::INFO_LOG_LEVEL, Tarv::Logging::kSourceMain, "console record " << 7);
    });
    const std::string written = ReadFile(out);
    EXPECT_TRUE(IsLayoutLine(written, "INFO", "console record 7")) << written;
    EXPECT_EQ(std::string::npos, ReadFile(err).find("console record")) << "not on standard error";
}

// Two deliverables in one process share log4cplus: the second start-up must
// not add a second console appender (every record would print twice), nor
// undo what the first one's configuration set.
TEST(LoggerFactoryTest, SecondInitLoggerKeepsTheSetUpOfTheFirst) {
    RunInChild([&] {
        LoggerFactory::InitLogger();
        LoggerFactory::InitLogger();
        log4cplus::Logger root = log4cplus::Logger::getRoot();
        EXPECT_EQ(1u, root.getAllAppenders().size());
        LoggerFactory::ConfigLogger("", "DEBUG", "");
        LoggerFactory::InitLogger();
        EXPECT_EQ(1u, root.getAllAppenders().size());
        EXPECT_TRUE(HasOwnAppender(root, "config"));
        EXPECT_EQ(log4cplus::DEBUG_LOG_LEVEL, root.getLogLevel());
    });
}

TEST(LoggerFactoryTest, ConfigLoggerResultsFollowTheAppendersTheLoggerHad) {
    const ScratchDirectory scratch("logresults");
    const std::string rootFile = scratch.File("root.log");
    const std::string blockerFile = scratch.File("blocker.log");
    RunInChild([&] {
        LoggerFactory::InitLogger();
        struct Step {
            std::string name, level, file;
            bool result;
            log4cplus::LogLevel levelAfter;
        };
        const Step steps[] = {
            {"", "DEBUG", "", true, log4cplus::DEBUG_LOG_LEVEL},        // root still had "default"
            {"", "WARN", rootFile, true, log4cplus::WARN_LOG_LEVEL},    // root now has "config"
            {"Blocker", "DEBUG", blockerFile, false, log4cplus::DEBUG_LOG_LEVEL},  // nothing of its own
            {"Blocker", "DEBUG", blockerFile, true, log4cplus::DEBUG_LOG_LEVEL},   // its own "config"
        };
        for (const Step& step : steps) {
            SCOPED_TRACE("logger '" + step.name + "' to '" + step.file + "'");
            EXPECT_EQ(step.result, LoggerFactory::ConfigLogger(step.name, step.level, step.file));
            log4cplus::Logger logger = step.name.empty() ? log4cplus::Logger::getRoot()
                                                         : log4cplus::Logger::getInstance(step.name);
            EXPECT_TRUE(HasOwnAppender(logger, "config"));
            EXPECT_FALSE(HasOwnAppender(logger, "default"));
            EXPECT_EQ(1u, logger.getAllAppenders().size());
            EXPECT_EQ(step.levelAfter, logger.getLogLevel());
        }
        log4cplus::Logger blocker = log4cplus::Logger::getInstance("Blocker");
        TARV_LOG(blocker, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker, "gate record");
        for (const std::string& file : {blockerFile, rootFile}) {
            const std::vector<std::string> lines = Lines(ReadFile(file));
            ASSERT_EQ(1u, lines.size()) << file;
            EXPECT_TRUE(IsLayoutLine(lines[0] + "\n", "DEBUG", "gate record"))
                << lines[0];
        }
    });
}

TEST(LoggerFactoryTest, NamedLoggerWithAnAppenderCalledDefaultIsNotCounted) {
    const std::string name = "Tarv.test.namedDefault";
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    const DetachAppenders detach{logger};
    Tarv::Testing::RecordCapture capture(logger, log4cplus::INFO_LOG_LEVEL, "default");
    EXPECT_FALSE(LoggerFactory::ConfigLogger(name, "INFO", ""));
    EXPECT_FALSE(HasOwnAppender(logger, "default"));
    EXPECT_TRUE(HasOwnAppender(logger, "config"));
}

TEST(LoggerFactoryTest, LineLayoutShowsTimeLevelThreadAndMessage) {
    const ScratchDirectory scratch("loglayout");
    const std::string file = scratch.File("layout.log");
    const std::string name = "Tarv.test.layout";
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    const DetachAppenders detach{logger};
    ASSERT_FALSE(LoggerFactory::ConfigLogger(name, "TRACE", file));

    const std::pair<log4cplus::LogLevel, std::string> levels[] = {
        {log4cplus::DEBUG_LOG_LEVEL, "DEBUG"}, {log4cplus::INFO_LOG_LEVEL, "INFO"},
        {log4cplus::ERROR_LOG_LEVEL, "ERROR"}, {log4cplus::FATAL_LOG_LEVEL, "FATAL"}};
    for (const auto& level : levels)
        TARV_LOG(logger, level.first, Tarv::Logging::kSourceClient, "text of " << level.second);

    const std::vector<std::string> lines = Lines(ReadFile(file));
    ASSERT_EQ(std::size(levels), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(IsLayoutLine(lines[i] + "\n", levels[i].second,
                                 "text of " + levels[i].second))
            << lines[i];
    EXPECT_FALSE(IsLayoutLine(lines[0] + "\n", "INFO", "text of DEBUG")) << "the check can fail";
    EXPECT_EQ(std::string::npos, lines[0].find("Extension/browser")) << "no location printed";
}

TEST(LoggerFactoryTest, FileAppenderAppendsToExistingFileRecordByRecord) {
    const ScratchDirectory scratch("logappend");
    const std::string file = scratch.File("append.log");
    WriteFile(file, "existing line\n");
    const std::string name = "Tarv.test.append";
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    const DetachAppenders detach{logger};
    LoggerFactory::ConfigLogger(name, "INFO", file);

    for (int record = 1; record <= 3; ++record) {
        TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, Tarv::Logging::kSourceClient, "record " << record);
        // Read while the appender still holds the file open.
        const std::vector<std::string> lines = Lines(ReadFile(file));
        ASSERT_EQ(static_cast<std::size_t>(record) + 1, lines.size());
        EXPECT_EQ("existing line", lines[0]);
        EXPECT_TRUE(IsLayoutLine(lines.back() + "\n", "INFO",
                                 "record " + std::to_string(record)))
            << lines.back();
    }
}

TEST(LoggerFactoryTest, FileInMissingDirectoryRaisesNothing) {
    const ScratchDirectory scratch("logmissing");
    const boost::filesystem::path missing = scratch.path() / "no-such-directory";
    const std::string name = "Tarv.test.missingDirectory";
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    const DetachAppenders detach{logger};
    bool result = true;
    EXPECT_NO_THROW(result = LoggerFactory::ConfigLogger(name, "INFO", (missing / "x.log").string()));
    EXPECT_FALSE(result);
    EXPECT_TRUE(HasOwnAppender(logger, "config"));
    EXPECT_NO_THROW(logger.log(log4cplus::INFO_LOG_LEVEL, "goes nowhere"));
    EXPECT_FALSE(boost::filesystem::exists(missing));
}

TEST(LoggerFactoryTest, UnknownLevelNameLeavesNamedLoggerUnsetAndRootUnchanged) {
    const std::string name = "Tarv.test.unknownLevel";
    log4cplus::Logger logger = log4cplus::Logger::getInstance(name);
    const DetachAppenders detach{logger};
    logger.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    LoggerFactory::ConfigLogger(name, "LOUD", "");
    EXPECT_EQ(log4cplus::NOT_SET_LOG_LEVEL, logger.getLogLevel());

    RunInChild([] {
        LoggerFactory::InitLogger();
        EXPECT_TRUE(LoggerFactory::ConfigLogger("", "LOUD", ""));
        EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, log4cplus::Logger::getRoot().getLogLevel());
    });
}

}  // namespace

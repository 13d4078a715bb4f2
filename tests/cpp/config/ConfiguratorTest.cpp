// The configurator: which INI file it reads, the option values it keeps, how
// it re-targets logging, its failures and its single instance. Every case
// runs in a forked child with its own environment and working directory.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include "config/ChildProcess.hpp"
#include "config/Configurator.hpp"
#include "config/RecordCapture.hpp"

namespace {

namespace po = boost::program_options;
using Tarv::Browser::Configurator;
using Tarv::Testing::CapturedRecord;
using Tarv::Testing::ReadFile;
using Tarv::Testing::RecordCapture;
using Tarv::Testing::RunInChild;
using Tarv::Testing::ScratchDirectory;
using Tarv::Testing::WriteFile;

log4cplus::Initializer log4cplusInitializer;

const std::string kSection = "Tarv.browser.curl.Client";
const std::string kPrefix = "TARV_BROWSER_CURL";
const std::string kDefaultIni = "Tarv.browser.curl.ini";
const std::string kVariable = "TARV_BROWSER_CURL_CONFIG";
constexpr int kPid = 4242;

int DefaultMaxThread() { return 2 * static_cast<int>(boost::thread::hardware_concurrency()); }

// The description the start-up code hands over.
po::options_description StartUpDescription() {
    po::options_description description("Options");
    description.add_options()((kSection + ".maxThread").c_str(),
                              po::value<int>()->default_value(DefaultMaxThread()),
                              "Maximum threads that client to process simultaneously.");
    return description;
}

std::string IniWithMaxThread(int maxThread) {
    return "[" + kSection + "]\nmaxThread=" + std::to_string(maxThread) + "\n";
}

// What a child sees: its working directory is the scratch directory, the
// environment holds only the variables of the case (none of the names the
// configurator could match are inherited), the root logger carries an
// appender "default" at INFO as after start-up, and the records of the
// logger "Configurator" are captured.
struct ChildSetting {
    std::vector<std::pair<std::string, std::string>> environment;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
};

class ConfiguredChild {
public:
    explicit ConfiguredChild(const ScratchDirectory& scratch, const ChildSetting& setting)
        : root_(log4cplus::Logger::getRoot(), log4cplus::INFO_LOG_LEVEL, "default"),
          records_(log4cplus::Logger::getInstance("Configurator"), log4cplus::NOT_SET_LOG_LEVEL) {
        if (chdir(scratch.path().c_str()) != 0) ADD_FAILURE() << "chdir failed";
        for (const char* name : {"TARV_BROWSER_CURL_CONFIG", "tarv_browser_curl_config",
                                 "TARV_BROWSER_CURL_Config", "TARV_BROWSER_CURL_C"})
            unsetenv(name);
        for (const auto& variable : setting.environment)
            setenv(variable.first.c_str(), variable.second.c_str(), 1);
        for (const auto& file : setting.files) WriteFile(file.first, file.second);
    }

    const Tarv::Testing::CapturingAppender& Records() const { return *records_; }
    bool RootUnchanged() const {
        log4cplus::Logger root = log4cplus::Logger::getRoot();
        return root.getAppender("default").get() != nullptr &&
               root.getAppender("config").get() == nullptr &&
               root.getLogLevel() == log4cplus::INFO_LOG_LEVEL;
    }

private:
    RecordCapture root_;
    RecordCapture records_;
};

int MaxThread(const Configurator& configurator) {
    return configurator.variables[kSection + ".maxThread"].as<int>();
}

std::vector<std::string> InfoMessages(const Tarv::Testing::CapturingAppender& records) {
    std::vector<std::string> messages;
    for (const CapturedRecord& record : records.Records()) {
        EXPECT_EQ("Extension/browser/Kernel/Config", record.source);
        if (record.level == log4cplus::INFO_LOG_LEVEL) messages.push_back(record.message);
    }
    return messages;
}

TEST(ConfiguratorTest, MapEnvOptionsMatchesPrefixedUpperCasedLongNamesExactly) {
    po::options_description description("Allowed environment options");
    description.add_options()("config,c", po::value<std::string>(), "Configuration INI file.")(
        "log-file", po::value<std::string>(), "Other option.");
    const std::pair<std::string, std::string> cases[] = {
        {"TARV_BROWSER_CURL_CONFIG", "config"},
        {"TARV_BROWSER_CURL_LOG-FILE", "log-file"},
        {"tarv_browser_curl_config", ""},
        {"TARV_BROWSER_CURL_Config", ""},
        {"TARV_BROWSER_CURL_C", ""},
        {"TARV_BROWSER_CURL_CONFIG_", ""},
        {"TARV_BROWSER_WEBKIT_CONFIG", ""},
        {"PATH", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, Configurator::MapEnvOptions(description, kPrefix, c.first)) << c.first;
}

struct SearchCase {
    const char* what;
    std::string arguments;
    ChildSetting setting;
    std::string configFile;  // expected; empty: no file
    int maxThread;           // expected; 0: the default
};

TEST(ConfiguratorTest, ChoosesTheIniFileInSearchOrder) {
    const std::pair<std::string, std::string> defaultIni{kDefaultIni, IniWithMaxThread(11)};
    const std::pair<std::string, std::string> appIni{"app.ini", IniWithMaxThread(12)};
    const std::pair<std::string, std::string> customIni{"custom.ini", IniWithMaxThread(13)};
    const std::pair<std::string, std::string> otherIni{"other.ini", IniWithMaxThread(14)};
    const std::pair<std::string, std::string> spacedIni{"my custom.ini", IniWithMaxThread(15)};
    const SearchCase cases[] = {
        {"no file at all", "", {{}, {}}, "", 0},
        {"default name alone", "", {{}, {defaultIni}}, kDefaultIni, 11},
        {"default name wins over app.ini", "", {{}, {defaultIni, appIni}}, kDefaultIni, 11},
        {"app.ini without default name", "", {{}, {appIni}}, "app.ini", 12},
        {"variable names an existing file", "", {{{kVariable, "custom.ini"}}, {customIni, defaultIni}}, "custom.ini", 13},
        {"variable names a missing file, then default name", "", {{{kVariable, "missing.ini"}}, {defaultIni, appIni}}, kDefaultIni, 11},
        {"variable names a missing file, then app.ini", "", {{{kVariable, "missing.ini"}}, {appIni}}, "app.ini", 12},
        {"empty variable is absent", "", {{{kVariable, ""}}, {appIni}}, "app.ini", 12},
        {"lower-case variable not matched", "", {{{"tarv_browser_curl_config", "custom.ini"}}, {customIni}}, "", 0},
        {"mixed-case variable not matched", "", {{{"TARV_BROWSER_CURL_Config", "custom.ini"}}, {customIni, appIni}}, "app.ini", 12},
        {"short option name not matched", "", {{{"TARV_BROWSER_CURL_C", "custom.ini"}}, {customIni}}, "", 0},
        {"argument text wins over the variable", "-c custom.ini", {{{kVariable, "other.ini"}}, {customIni, otherIni}}, "custom.ini", 13},
        {"argument text split by shell rules", "--config 'my custom.ini'", {{}, {spacedIni, defaultIni}}, "my custom.ini", 15},
        {"missing argument file, unknown options ignored", "--config missing.ini --unknown 5", {{{kVariable, "other.ini"}}, {otherIni}}, "other.ini", 14},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDirectory scratch("configsearch");
        RunInChild([&] {
            const ConfiguredChild child(scratch, c.setting);
            po::options_description description = StartUpDescription();
            const boost::shared_ptr<Configurator>& configurator = Configurator::Create(
                kPid, c.arguments, kPrefix, kSection, kDefaultIni, description);
            ASSERT_TRUE(configurator);
            EXPECT_EQ(c.configFile, configurator->configFile);
            EXPECT_EQ(c.maxThread ? c.maxThread : DefaultMaxThread(), MaxThread(*configurator));
            const std::vector<std::string> expected = {"Configuration file: " + c.configFile};
            EXPECT_EQ(expected, InfoMessages(child.Records()));
            EXPECT_TRUE(child.RootUnchanged());
        });
    }
}

TEST(ConfiguratorTest, WithoutIniFileEveryOptionKeepsItsDefault) {
    const ScratchDirectory scratch("configdefaults");
    RunInChild([&] {
        const ConfiguredChild child(scratch, {});
        po::options_description description = StartUpDescription();
        const boost::shared_ptr<Configurator>& configurator =
            Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, description);
        ASSERT_TRUE(configurator);
        EXPECT_EQ(kPid, configurator->pid);
        EXPECT_EQ(kSection, configurator->section);
        EXPECT_EQ("", configurator->configFile);
        EXPECT_EQ(DefaultMaxThread(), MaxThread(*configurator));
        EXPECT_EQ("INFO", configurator->variables[kSection + ".logLevel"].as<std::string>());
        EXPECT_EQ("", configurator->variables[kSection + ".logFile"].as<std::string>());
        // The logging options joined the caller's description, level first.
        ASSERT_EQ(3u, description.options().size());
        EXPECT_EQ(kSection + ".logLevel", description.options()[1]->long_name());
        EXPECT_EQ("Log level.", description.options()[1]->description());
        EXPECT_EQ(kSection + ".logFile", description.options()[2]->long_name());
        EXPECT_EQ("Log file store path.", description.options()[2]->description());
        const std::vector<CapturedRecord> records = child.Records().Records();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, records[0].level);
        EXPECT_EQ("Configuration file: ", records[0].message);
        EXPECT_TRUE(child.RootUnchanged());
    });
}

TEST(ConfiguratorTest, KeysOutsideTheSectionAreIgnored) {
    const ScratchDirectory scratch("configoutside");
    const std::string ini = "maxThread=7\nlogLevel=DEBUG\n[Other.section]\nmaxThread=9\n[" + kSection +
                            "]\n# maxThread=8\nlogLevel=INFO\nunknownKey=1\n";
    RunInChild([&] {
        const ConfiguredChild child(scratch, {{}, {{kDefaultIni, ini}}});
        po::options_description description = StartUpDescription();
        const boost::shared_ptr<Configurator>& configurator =
            Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, description);
        ASSERT_TRUE(configurator);
        EXPECT_EQ(kDefaultIni, configurator->configFile);
        EXPECT_EQ(DefaultMaxThread(), MaxThread(*configurator));
        EXPECT_TRUE(child.RootUnchanged()) << "level INFO and no file leave logging alone";
    });
}

TEST(ConfiguratorTest, InfoWithLogFileRetargetsLoggingToTheFile) {
    const ScratchDirectory scratch("configlogfile");
    const std::string ini = "[" + kSection + "]\nlogLevel=INFO\nlogFile=run.log\n";
    RunInChild([&] {
        const ConfiguredChild child(scratch, {{}, {{kDefaultIni, ini}}});
        po::options_description description = StartUpDescription();
        Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, description);
        log4cplus::Logger root = log4cplus::Logger::getRoot();
        EXPECT_EQ(nullptr, root.getAppender("default").get());
        EXPECT_NE(nullptr, root.getAppender("config").get());
        EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, root.getLogLevel());
        const std::string written = ReadFile("run.log");
        EXPECT_NE(std::string::npos, written.find(" - INFO - ")) << written;
        EXPECT_NE(std::string::npos, written.find("Configuration file: " + kDefaultIni + "\n"))
            << written;
    });
}

TEST(ConfiguratorTest, OnlyTheFirstPidPlaceholderOfTheLogFileIsReplaced) {
    const ScratchDirectory scratch("configpid");
    const std::string ini = "[" + kSection + "]\nlogLevel=DEBUG\nlogFile=a-{pid}-{pid}.log\n";
    RunInChild([&] {
        const ConfiguredChild child(scratch, {{}, {{kDefaultIni, ini}}});
        po::options_description description = StartUpDescription();
        Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, description);
        EXPECT_EQ(log4cplus::DEBUG_LOG_LEVEL, log4cplus::Logger::getRoot().getLogLevel());
        EXPECT_TRUE(boost::filesystem::exists("a-4242-{pid}.log"));
        EXPECT_FALSE(boost::filesystem::exists("a-4242-4242.log"));
        EXPECT_FALSE(boost::filesystem::exists("a-{pid}-{pid}.log"));
        EXPECT_NE(std::string::npos, ReadFile("a-4242-{pid}.log").find("Configuration file: "));
    });
}

TEST(ConfiguratorTest, ConfigurationErrorsAreRecordedAsFatalAndRaised) {
    const std::pair<const char*, std::string> cases[] = {
        {"maxThread not a number", "[" + kSection + "]\nmaxThread=abc\n"},
        {"malformed line", "[" + kSection + "]\nthis line has no equals sign\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const ScratchDirectory scratch("configfatal");
        RunInChild([&] {
            const ConfiguredChild child(scratch, {{}, {{kDefaultIni, c.second}}});
            po::options_description description = StartUpDescription();
            std::string raised;
            try {
                Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, description);
                ADD_FAILURE() << "no error raised";
            } catch (const po::error& error) {
                raised = error.what();
            }
            EXPECT_FALSE(raised.empty());
            EXPECT_FALSE(Configurator::instance);
            const std::vector<CapturedRecord> records = child.Records().Records();
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(log4cplus::FATAL_LOG_LEVEL, records[0].level);
            EXPECT_EQ("Unable to configurate => " + raised, records[0].message);
            EXPECT_EQ("Extension/browser/Kernel/Config", records[0].source);
        });
    }
}

TEST(ConfiguratorTest, SecondCreateReturnsTheFirstConfiguratorUnchanged) {
    const ScratchDirectory scratch("configtwice");
    RunInChild([&] {
        const ConfiguredChild child(
            scratch, {{}, {{kDefaultIni, IniWithMaxThread(3)}, {"custom.ini", IniWithMaxThread(9)}}});
        po::options_description first = StartUpDescription();
        const boost::shared_ptr<Configurator>& created =
            Configurator::Create(kPid, "", kPrefix, kSection, kDefaultIni, first);
        ASSERT_TRUE(created);
        const Configurator* const built = created.get();

        po::options_description second("Options");
        const char arguments[] = "-c custom.ini";
        const boost::shared_ptr<Configurator>& again = Configurator::Create(
            1, arguments, "TARV_BROWSER_WEBKIT", "Tarv.browser.webkit.Client", "other.ini", second);
        EXPECT_EQ(&Configurator::instance, &again);
        EXPECT_EQ(built, again.get());
        EXPECT_EQ(kPid, again->pid);
        EXPECT_EQ(kSection, again->section);
        EXPECT_EQ(kDefaultIni, again->configFile);
        EXPECT_EQ(3, MaxThread(*again));
        EXPECT_TRUE(second.options().empty()) << "the ignored description gains nothing";
        EXPECT_EQ(1u, child.Records().Count("Configuration file: " + kDefaultIni));
    });
}

}  // namespace

// Random INI files read by the module's start-up, each in a probe process of
// its own (tests/cpp/kernel/KernelProbe.cpp). Whatever the file holds, the
// process lives on: the start-up either records FATAL and leaves no gate, or
// builds the gate with a bound. Files made only of well-formed lines give the
// bound they name, or the default.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef TARV_KERNEL_PROBE_PATH
#error "TARV_KERNEL_PROBE_PATH must name the kernel probe"
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kSeed = 4242;
constexpr int kCases = 200;
constexpr auto kProbeLimit = std::chrono::seconds(30);
const std::string kSection = "[Tarv.browser.curl.Client]";

struct ProbeRun {
    bool exited = false;
    int status = -1;  // exit status, or the signal that ended it
    std::string output;
};

// A fresh working directory, removed with everything in it.
class WorkDir {
public:
    WorkDir() {
        std::string pattern = (fs::temp_directory_path() / "tarv-random-ini-XXXXXX").string();
        if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~WorkDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs the probe with its INI named by the environment, in `dir`; kills it
// when it does not end within kProbeLimit.
ProbeRun RunProbe(const WorkDir& dir, const std::string& ini) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        setenv("TARV_BROWSER_CURL_CONFIG", ini.c_str(), 1);
        char* const argv[] = {const_cast<char*>(TARV_KERNEL_PROBE_PATH), const_cast<char*>("bound"), nullptr};
        execv(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    ProbeRun run;
    const auto deadline = std::chrono::steady_clock::now() + kProbeLimit;
    bool killed = false;
    for (;;) {
        pollfd readable{out[0], POLLIN, 0};
        if (poll(&readable, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            run.output.append(buffer, static_cast<std::size_t>(n));
        } else if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            killed = true;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.exited = WIFEXITED(status);
    run.status = run.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return run;
}

class IniGenerator {
public:
    explicit IniGenerator(std::uint32_t seed) : random_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    template <std::size_t N>
    const char* Pick(const char* const (&choices)[N]) {
        return choices[Below(static_cast<int>(N))];
    }

    // Lines whose meaning is known: the bound they set (or -1 for the default).
    std::string WellFormed(int& bound) {
        static const char* const levels[] = {"DEBUG", "INFO", "WARN", "ERROR", "TRACE"};
        static const char* const files[] = {"probe.log", "probe-{pid}.log", "missing-dir/probe.log"};
        static const char* const others[] = {"[Other]", "[Tarv.browser.webkit.Client]", "[Tarv.browser.curl]"};
        static const char* const comments[] = {"# a comment", "#maxThread=99", ""};
        std::string text;
        bound = -1;
        bool inSection = false, levelSet = false, fileSet = false;
        const int lines = Below(12);
        for (int i = 0; i < lines; ++i) {
            switch (Below(7)) {
                case 0:
                    text += kSection + "\n";
                    inSection = true;
                    break;
                case 1:
                    text += std::string(Pick(others)) + "\n";
                    inSection = false;
                    break;
                case 2: text += std::string(Pick(comments)) + "\n"; break;
                case 3: {
                    // An option of the section given twice is an error:
                    // well-formed files set each at most once.
                    if (inSection && bound >= 0) break;
                    const int value = Below(65);
                    text += "maxThread=" + std::to_string(value) + "\n";
                    if (inSection) bound = value;
                    break;
                }
                case 4: text += "unknownKey" + std::to_string(Below(100)) + "=value\n"; break;
                case 5:
                    if (inSection && !levelSet) text += std::string("logLevel=") + Pick(levels) + "\n";
                    levelSet = levelSet || inSection;
                    break;
                default:
                    if (inSection && !fileSet) text += std::string("logFile=") + Pick(files) + "\n";
                    fileSet = fileSet || inSection;
                    break;
            }
        }
        return text;
    }

    // Anything at all: broken sections, bad values, raw bytes, long lines.
    std::string Anything() {
        static const char* const sections[] = {"[Tarv.browser.curl.Client]", "[", "[]", "[Tarv.browser.curl.Client",
                                               "[[x]]", "[ Tarv.browser.curl.Client ]"};
        static const char* const keys[] = {"maxThread", "logLevel", "logFile", "Tarv.browser.curl.Client.maxThread",
                                           "MAXTHREAD", "", " maxThread", "maxThread "};
        static const char* const values[] = {"7", "0", "-3", "99999999999", "abc", "", " 7 ", "0x10", "1e3",
                                             "DEBUG", "nonsense", "OFF", "probe.log", "=", "\"8\""};
        std::string text;
        const int lines = Below(16);
        for (int i = 0; i < lines; ++i) {
            std::string key = Pick(keys);
            std::string value = Pick(values);
            // A log file only ever inside the working directory.
            if (key == "logFile") value = "probe.log";
            switch (Below(6)) {
                case 0: text += Pick(sections); break;
                case 1:
                case 2: text += key + "=" + value; break;
                case 3:
                    for (int n = Below(60); n > 0; --n) text += static_cast<char>(Below(256));
                    break;
                case 4: text += "x" + std::string(static_cast<std::size_t>(Below(100000)), 'y'); break;
                default: text += "# " + value; break;
            }
            text += Below(4) == 0 ? "\r\n" : "\n";
        }
        if (!text.empty() && Below(3) == 0) text.pop_back();  // no final line end
        return text;
    }

private:
    std::mt19937 random_;
};

bool SaysBound(const std::string& output, std::string& bound) {
    std::smatch match;
    if (!std::regex_search(output, match, std::regex("probe: bound=([a-z0-9-]+)\n"))) return false;
    bound = match[1];
    return true;
}

TEST(RandomIniTest, RandomIniTextGivesAFatalRecordOrABoundAndNeverEndsTheProcess) {
    IniGenerator generate(kSeed);
    const std::string defaultBound = std::to_string(2 * std::thread::hardware_concurrency());
    int fatal = 0, bounds = 0;
    for (int c = 0; c < kCases; ++c) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", case " + std::to_string(c));
        WorkDir dir;
        int expectedBound = -1;
        const bool wellFormed = c % 2 == 0;
        const std::string text = wellFormed ? generate.WellFormed(expectedBound) : generate.Anything();
        const fs::path ini = dir.path() / "random.ini";
        std::ofstream(ini, std::ios::binary) << text;

        const ProbeRun run = RunProbe(dir, ini.string());
        ASSERT_TRUE(run.exited) << "ended by signal " << run.status << "\nINI:\n" << text << "\nOutput:\n" << run.output;
        ASSERT_EQ(run.status, 0) << "INI:\n" << text << "\nOutput:\n" << run.output;
        std::string bound;
        ASSERT_TRUE(SaysBound(run.output, bound)) << run.output;
        const bool fatalRecord = run.output.find(" - FATAL - ") != std::string::npos &&
                                 run.output.find("Unable to configurate") != std::string::npos;
        if (bound == "none") {
            ++fatal;
            EXPECT_TRUE(fatalRecord) << "no gate, but no FATAL record:\n" << run.output;
        } else {
            ++bounds;
            EXPECT_FALSE(fatalRecord) << run.output;
            EXPECT_TRUE(std::regex_match(bound, std::regex("-?[0-9]+"))) << bound;
        }
        if (wellFormed) {
            EXPECT_EQ(bound, expectedBound >= 0 ? std::to_string(expectedBound) : defaultBound) << "INI:\n" << text;
        }
    }
    std::printf("random INI files: %d cases: %d gave a bound, %d a FATAL record and no gate\n", kCases, bounds, fatal);
    EXPECT_GT(fatal, 0);
    EXPECT_GT(bounds, 0);
}

}  // namespace

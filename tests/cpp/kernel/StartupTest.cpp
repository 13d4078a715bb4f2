// Start-up at load time, each case in its own process with its own
// environment and working directory.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "support/ServerProcess.hpp"
#include "support/ShmNames.hpp"

namespace fs = boost::filesystem;

namespace {

struct ProbeRun {
    int status = -1;
    std::string output;  // standard output: log lines and "probe: " lines

    bool Says(const std::string& text) const { return output.find("probe: " + text + "\n") != std::string::npos; }
    bool Logged(const std::string& level, const std::string& message) const {
        return std::regex_search(output, std::regex(" - " + level + " - Thread: \\S+ - " + message + "\n"));
    }
};

// A temporary working directory, removed with everything in it.
class WorkDir {
public:
    WorkDir() : path_(fs::temp_directory_path() / fs::unique_path("tarv-startup-%%%%-%%%%")) {
        fs::create_directories(path_);
    }
    ~WorkDir() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name) << text;
        return (path_ / name).string();
    }
    std::string path() const { return path_.string(); }

private:
    fs::path path_;
};

// Runs the probe in `dir` with the environment variables `env` set (an empty
// value unsets nothing: it sets the variable empty) and the given commands.
ProbeRun RunProbe(const WorkDir& dir, const std::map<std::string, std::string>& env,
                  const std::vector<std::string>& commands) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        unsetenv("TARV_BROWSER_CURL_CONFIG");
        for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<std::string> args = {TARV_KERNEL_PROBE_PATH};
        args.insert(args.end(), commands.begin(), commands.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    ProbeRun run;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    waitpid(child, &run.status, 0);
    return run;
}

const std::string kSection = "[Tarv.browser.curl.Client]\n";

}  // namespace

TEST(StartupTest, WithoutAnyIniTheBoundIsTwiceTheProcessorCount) {
    WorkDir dir;
    const ProbeRun run = RunProbe(dir, {}, {"bound"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.Says("bound=" + std::to_string(2 * boost::thread::hardware_concurrency()))) << run.output;
    EXPECT_TRUE(run.Logged("INFO", "Configuration file: ")) << run.output;
    EXPECT_EQ(run.output.find(" - DEBUG - "), std::string::npos) << "no DEBUG record at the default level";
}

TEST(StartupTest, BoundComesFromTheDefaultIniName) {
    WorkDir dir;
    dir.Write("Tarv.browser.curl.ini", kSection + "maxThread=5\n");
    dir.Write("app.ini", kSection + "maxThread=6\n");
    const ProbeRun run = RunProbe(dir, {}, {"bound"});
    EXPECT_TRUE(run.Says("bound=5")) << run.output;
    EXPECT_TRUE(run.Logged("INFO", "Configuration file: Tarv.browser.curl.ini")) << run.output;
}

TEST(StartupTest, AppIniIsTheLastFallback) {
    WorkDir dir;
    dir.Write("app.ini", kSection + "maxThread=6\n");
    const ProbeRun run = RunProbe(dir, {{"TARV_BROWSER_CURL_CONFIG", dir.path() + "/missing.ini"}}, {"bound"});
    EXPECT_TRUE(run.Says("bound=6")) << run.output;
    EXPECT_TRUE(run.Logged("INFO", "Configuration file: app.ini")) << run.output;
}

TEST(StartupTest, EnvironmentVariableNamesTheIni) {
    WorkDir dir;
    const std::string ini = dir.Write("chosen.ini", kSection + "maxThread=7\n");
    dir.Write("Tarv.browser.curl.ini", kSection + "maxThread=5\n");
    const ProbeRun run = RunProbe(dir, {{"TARV_BROWSER_CURL_CONFIG", ini}}, {"bound"});
    EXPECT_TRUE(run.Says("bound=7")) << run.output;
}

TEST(StartupTest, DebugLevelFromTheIniShowsTheGateBeingBuilt) {
    WorkDir dir;
    dir.Write("Tarv.browser.curl.ini", kSection + "maxThread=3\nlogLevel=DEBUG\n");
    const ProbeRun run = RunProbe(dir, {}, {"bound"});
    EXPECT_TRUE(run.Logged("DEBUG", "Blocker => UPBOUND: 3")) << run.output;
}

TEST(StartupTest, FailedStartUpLeavesTheProcessAliveWithoutAGate) {
    WorkDir dir;
    dir.Write("Tarv.browser.curl.ini", kSection + "maxThread=abc\n");
    const ProbeRun run = RunProbe(dir, {}, {"bound", "push", "script://echo/x", "0", "pop", "script://echo/x"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.Logged("FATAL", "Unable to configurate => .*")) << run.output;
    EXPECT_TRUE(run.Says("bound=none"));
    EXPECT_TRUE(run.Says("ticket="));
    EXPECT_TRUE(run.Logged("ERROR", "Push: script://echo/x Exception: Dead blocker\\?\\?\\?")) << run.output;
    EXPECT_TRUE(run.Says("error=Dead blocker???"));
}

TEST(StartupTest, SecondStartUpRaisesAndKeepsTheFirstGate) {
    WorkDir dir;
    const ProbeRun run = RunProbe(dir, {}, {"init-again"});
    EXPECT_TRUE(run.Says("init-again=Unable to initialize blocker, existed before?")) << run.output;
    EXPECT_TRUE(run.Says("gate=same"));
}

TEST(StartupTest, NativeCallerGetsAPageEndToEnd) {
    Tarv::Testing::ServerProcess server;
    WorkDir dir;
    const ProbeRun run = RunProbe(dir, {}, {"push", "script://echo/native", std::to_string(server.pid())});
    EXPECT_TRUE(run.Says("url=script://echo/native")) << run.output;
}

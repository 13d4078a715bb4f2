// browser-server: serves page requests of the client module through the
// shared-memory protocol, under its own process id.
//
//   browser-server --engine NAME [--workers N] [--segment-size BYTES]
//                  [--engine-timeout MS] [--log-level LEVEL] [--group-access]
//   browser-server --reap
//
// Prints its process id alone on the first line of standard output once it
// accepts requests; logs to standard error; SIGTERM or SIGINT stops it.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/program_options.hpp>
#include <log4cplus/consoleappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/loglevel.h>

#include "core/Log.hpp"
#include "core/Reaper.hpp"
#include "core/Server.hpp"
#include "engines/Engine.hpp"
#include "interprocess/Permissions.hpp"

namespace {

namespace po = boost::program_options;
using namespace Tarv::Server;

constexpr int kUsageError = 2;
constexpr int kStartError = 1;
constexpr const char* kLayout = "%D{%Y-%m-%d %H:%M:%S,%q} - %p - Thread: %t - %m%n";

struct CommandLine {
    std::string engine;
    Settings settings;
    log4cplus::LogLevel level = log4cplus::INFO_LOG_LEVEL;
};

log4cplus::LogLevel ParseLevel(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    const log4cplus::LogLevel level = log4cplus::getLogLevelManager().fromString(text);
    if (level == log4cplus::NOT_SET_LOG_LEVEL) throw po::error("unknown log level \"" + text + "\"");
    return level;
}

std::string EngineList() {
    std::string list;
    for (const std::string& name : EngineNames()) list += (list.empty() ? "" : ", ") + name;
    return list;
}

// Parses the command line; returns false (after printing help) when the
// program is to exit 0 at once. Throws po::error for a bad command line.
bool Parse(int argc, char** argv, CommandLine& out) {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    std::size_t workers = processors;
    std::size_t segmentSize = Limits::kDefaultSegmentSize;
    long engineTimeoutMs = static_cast<long>(Limits::kDefaultEngineTimeout.count());
    std::string level = "INFO";

    po::options_description options("browser-server: serves page requests through shared memory, under its own "
                                    "process id, which it prints alone on the first line of standard output once "
                                    "it accepts requests. SIGTERM or SIGINT stops it.\n\nOptions");
    options.add_options()
        ("help,h", "print this help and exit")
        ("engine", po::value<std::string>(&out.engine)->required()->value_name("NAME"),
         ("the engine that produces the pages (one of: " + EngineList() + ")").c_str())
        ("workers", po::value<std::size_t>(&workers)->default_value(processors)->value_name("N"),
         "worker threads taking requests (at least 1; default: the number of processors)")
        ("segment-size", po::value<std::size_t>(&segmentSize)->default_value(segmentSize)->value_name("BYTES"),
         ("size of the request segment in bytes (at least " + std::to_string(Limits::kMinSegmentSize) + ")").c_str())
        ("engine-timeout", po::value<long>(&engineTimeoutMs)->default_value(engineTimeoutMs)->value_name("MS"),
         "milliseconds an engine has for one request; a later answer becomes a dead result")
        ("log-level", po::value<std::string>(&level)->default_value(level)->value_name("LEVEL"),
         "level of the log on standard error: TRACE, DEBUG, INFO, WARN, ERROR, FATAL or OFF")
        ("group-access",
         "let the server's group open its named objects too (mode 0660 instead of the owner-only 0600)")
        ("reap",
         "remove what crashed processes left in /dev/shm (objects of process ids that no longer run, and tickets "
         "no process maps any more), print each name removed, and exit");

    po::variables_map values;
    po::store(po::command_line_parser(argc, argv).options(options).run(), values);
    if (values.count("help")) {
        std::cout << options << std::endl;
        return false;
    }
    if (values.count("reap")) {
        for (const std::string& name : ReapLeftovers(ReapPolicy{0, true})) std::cout << name << "\n";
        return false;
    }
    po::notify(values);
    const std::vector<std::string> engines = EngineNames();
    if (std::find(engines.begin(), engines.end(), out.engine) == engines.end())
        throw po::error("unknown engine \"" + out.engine + "\" (known: " + EngineList() + ")");
    if (workers == 0) throw po::error("--workers must be at least 1");
    if (segmentSize < Limits::kMinSegmentSize)
        throw po::error("--segment-size must be at least " + std::to_string(Limits::kMinSegmentSize));
    if (engineTimeoutMs <= 0) throw po::error("--engine-timeout must be positive");
    out.settings.workers = workers;
    out.settings.segmentSize = segmentSize;
    out.settings.engineTimeout = std::chrono::milliseconds(engineTimeoutMs);
    out.settings.mode = values.count("group-access") ? Tarv::Interprocess::kOwnerAndGroupMode : Tarv::Interprocess::kOwnerOnlyMode;
    out.level = ParseLevel(level);
    return true;
}

void SetUpLog(log4cplus::LogLevel level) {
    log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(true /* standard error */, true /* flush */));
    console->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kLayout)));
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.removeAllAppenders();
    root.addAppender(console);
    root.setLogLevel(level);
}

}  // namespace

int main(int argc, char** argv) {
    log4cplus::Initializer logging;
    CommandLine commandLine;
    try {
        if (!Parse(argc, argv, commandLine)) return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "browser-server: %s (see --help)\n", error.what());
        return kUsageError;
    }
    SetUpLog(commandLine.level);
    log4cplus::Logger logger = ServerLogger();

    // Stop signals are taken by sigwait below, never by a handler; every
    // thread started from here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(MakeEngine(commandLine.engine), commandLine.settings);
    } catch (const std::exception& error) {
        TARV_LOG(logger, log4cplus::FATAL_LOG_LEVEL, kSourceServer, "cannot start: " << error.what());
        return kStartError;
    }
    std::printf("%ld\n", server->Pid());
    std::fflush(stdout);

    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) != 0) {
    }
    TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer, "signal " << signalNumber << ": stopping");
    if (!server->Stop()) {
        // Busy workers still use the server's state: end without destructors.
        std::fflush(stderr);
        std::_Exit(0);
    }
    server.reset();
    return 0;
}

#include "engines/detail/RenderProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/Log.hpp"
#include "engines/detail/RenderLimits.hpp"

extern char** environ;

namespace Tarv {
namespace Server {
namespace detail {
namespace {

namespace fs = std::filesystem;

// Variables that would lead Chromium outside its profile; they are set anew.
constexpr const char* kReplacedVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME",
                                              "DBUS_SESSION_BUS_ADDRESS"};
constexpr const char* kNoBus = "DBUS_SESSION_BUS_ADDRESS=disabled:";
constexpr int kExecFailed = 127;
constexpr int kFirstFreeDescriptor = 10;  // above every descriptor the child sets up
constexpr std::chrono::milliseconds kReapPause{10};

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string TemporaryDirectory() {
    const char* directory = std::getenv("TMPDIR");
    return directory && *directory ? directory : Render::kDefaultTemporaryDirectory;
}

std::string FindChromium() {
    const char* named = std::getenv(Render::kChromiumVariable);
    if (named && *named) {
        if (::access(named, X_OK) != 0)
            throw std::runtime_error(std::string(Render::kChromiumVariable) + " names " + named +
                                     ", which cannot be executed");
        return named;
    }
    std::string looked;
    for (const char* candidate : Render::kChromiumCandidates) {
        if (::access(candidate, X_OK) == 0) return candidate;
        looked += (looked.empty() ? "" : ", ") + std::string(candidate);
    }
    throw std::runtime_error("no Chromium found (looked for " + looked + "; install Debian's chromium)");
}

bool Replaced(const char* entry) {
    for (const char* name : kReplacedVariables) {
        const std::size_t length = std::strlen(name);
        if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
    }
    return false;
}

std::vector<std::string> Environment(const std::string& profile) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry)
        if (!Replaced(*entry)) environment.emplace_back(*entry);
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
        environment.push_back(std::string(name) + "=" + profile);
    environment.emplace_back(kNoBus);
    return environment;
}

std::vector<std::string> Arguments(const std::string& binary, const std::string& profile) {
    std::vector<std::string> arguments{binary};
    for (const char* flag : Render::kChromiumFlags) arguments.emplace_back(flag);
    arguments.push_back("--window-size=" + std::to_string(Render::kViewportWidth) + "," +
                        std::to_string(Render::kViewportHeight));
    arguments.push_back("--user-data-dir=" + profile);
    return arguments;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe MakePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe2"));
    return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Closes the descriptors first..last (inclusive).
void CloseRange(unsigned first, unsigned last, long openMax) {
    if (first > last) return;
    if (::close_range(first, last, 0) == 0) return;
    for (long fd = first; fd <= static_cast<long>(last) && fd < openMax; ++fd) ::close(static_cast<int>(fd));
}

// The child between fork and exec: only async-signal-safe calls. Ends in
// exec, or in _exit after writing errno to `report`.
[[noreturn]] void BecomeChromium(pid_t parent, int commandRead, int eventWrite, int report, const char* binary,
                                 char* const* arguments, char* const* environment, long openMax) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(kExecFailed);  // the server is already gone
    ::setpgid(0, 0);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard;
    std::memset(&standard, 0, sizeof standard);
    standard.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) ::sigaction(signalNumber, &standard, nullptr);

    // Everything moves above the descriptors being set up, then they are set up.
    const int error = ::fcntl(report, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    const int command = ::fcntl(commandRead, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    const int events = ::fcntl(eventWrite, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const bool ready = error >= 0 && command >= 0 && events >= 0 && nothing >= 0 && ::dup2(nothing, 0) == 0 &&
                       ::dup2(nothing, 1) == 1 && ::dup2(nothing, 2) == 2 &&
                       ::dup2(command, Render::kCommandDescriptor) == Render::kCommandDescriptor &&
                       ::dup2(events, Render::kEventDescriptor) == Render::kEventDescriptor;
    if (ready) {
        // Only 0 to 4 and the report pipe stay; the report closes on exec.
        CloseRange(Render::kEventDescriptor + 1, static_cast<unsigned>(error) - 1, openMax);
        CloseRange(static_cast<unsigned>(error) + 1, ~0u, openMax);
        ::execve(binary, arguments, environment);
    }
    const int code = errno;
    if (error >= 0) {
        const ssize_t written = ::write(error, &code, sizeof code);
        (void)written;
    }
    ::_exit(kExecFailed);
}

std::string Status(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

}  // namespace

void UniqueFd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Launcher::Launcher() : thread_([this] { Loop(); }) {}

Launcher::~Launcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Launcher::Post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void Launcher::Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, with nothing left to run
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();  // a packaged task: its exception goes to its future
        lock.lock();
    }
}

std::unique_ptr<ChromiumProcess> ChromiumProcess::Start(Launcher& launcher) {
    return launcher.Run([]() -> std::unique_ptr<ChromiumProcess> {
        std::unique_ptr<ChromiumProcess> process(new ChromiumProcess());
        process->binary_ = FindChromium();

        std::string pattern =
            TemporaryDirectory() + "/" + Render::kProfilePrefix + std::to_string(::getpid()) + "-XXXXXX";
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error(Errno(("mkdtemp " + pattern).c_str()));
        process->profile_ = pattern;  // from here on the destructor removes it

        std::vector<std::string> argumentTexts = Arguments(process->binary_, process->profile_);
        std::vector<std::string> environmentTexts = Environment(process->profile_);
        std::vector<char*> arguments = Pointers(argumentTexts);
        std::vector<char*> environment = Pointers(environmentTexts);
        Pipe commands = MakePipe();
        Pipe events = MakePipe();
        Pipe report = MakePipe();
        const long openMax = ::sysconf(_SC_OPEN_MAX);
        const pid_t parent = ::getpid();

        const pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error(Errno("fork"));
        if (pid == 0)
            BecomeChromium(parent, commands.read.Get(), events.write.Get(), report.write.Get(),
                           process->binary_.c_str(), arguments.data(), environment.data(), openMax);

        process->pid_ = pid;
        ::setpgid(pid, pid);  // also done by the child; whichever comes first
        commands.read.Reset();
        events.write.Reset();
        report.write.Reset();
        int code = 0;
        ssize_t got;
        do {
            got = ::read(report.read.Get(), &code, sizeof code);
        } while (got < 0 && errno == EINTR);
        if (got == static_cast<ssize_t>(sizeof code)) {
            process->Reap();
            throw std::runtime_error("cannot execute " + process->binary_ + ": " + std::strerror(code));
        }
        process->commands_ = std::move(commands.write);
        process->events_ = std::move(events.read);
        return process;
    });
}

ChromiumProcess::~ChromiumProcess() {
    Kill();
    const std::string how = Reap();
    if (pid_ > 0 && how.empty())
        TARV_LOG(ServerLogger(), log4cplus::ERROR_LOG_LEVEL, Render::kSource,
                 "Chromium (pid " << pid_ << ") did not end within " << Render::kReapLimit.count()
                                  << " ms of SIGKILL; left unreaped");
    if (!profile_.empty()) {
        std::error_code ignored;
        fs::remove_all(profile_, ignored);
    }
}

void ChromiumProcess::Kill() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);  // in case the group was never made
}

std::string ChromiumProcess::Reap() {
    if (pid_ <= 0 || reaped_) return exit_;
    const auto giveUp = std::chrono::steady_clock::now() + Render::kReapLimit;
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno == ECHILD)) {
            reaped_ = true;
            exit_ = got == pid_ ? Status(status) : "already reaped";
            return exit_;
        }
        if (std::chrono::steady_clock::now() >= giveUp) return std::string();
        std::this_thread::sleep_for(kReapPause);
    }
}

void ChromiumProcess::RemoveStaleProfiles() {
    std::error_code error;
    const std::string prefix = Render::kProfilePrefix;
    for (fs::directory_iterator entry(TemporaryDirectory(), error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        char* rest = nullptr;
        const long owner = std::strtol(name.c_str() + prefix.size(), &rest, 10);
        if (owner <= 0 || !rest || *rest != '-' || owner == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;  // its server still runs
        std::error_code ignored;
        fs::remove_all(entry->path(), ignored);
        TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
                 "removed the profile " << entry->path().string() << " of a server that is gone");
    }
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

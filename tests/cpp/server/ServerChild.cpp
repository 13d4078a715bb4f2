#include "server/ServerChild.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/ShmNames.hpp"

namespace Tarv {
namespace Testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStartLimit{10000};
constexpr std::chrono::milliseconds kPoll{5};

std::vector<char*> Argv(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return argv;
}

// In the child, before exec: garbage under the names the server will use.
void PlantStaleObjects() {
    const long pid = static_cast<long>(::getpid());
    const char* formats[] = {"/dev/shm/sem.Tarv_Browser_%ld_Ready", "/dev/shm/Tarv_Browser_%ld_Request",
                             "/dev/shm/sem.Tarv_Browser_%ld_Request_Channel_Mutex",
                             "/dev/shm/Tarv_Browser_%ld_Request_Channel_Condition"};
    for (const char* format : formats) {
        char path[256] = {};
        std::snprintf(path, sizeof path, format, pid);
        const int fd = ::open(path, O_CREAT | O_TRUNC | O_WRONLY, 0600);
        if (fd < 0) continue;
        const char garbage[] = "left behind by a crashed server";
        if (::write(fd, garbage, sizeof garbage) < 0) {
        }
        ::close(fd);
    }
}

// Forks and execs the server; its standard output goes to `outFd`, its
// standard error to `errFd` (or stays when negative).
pid_t Spawn(std::vector<std::string> args, int outFd, int errFd, bool plant, int closeFd) {
    std::vector<std::string> words{ServerPath()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv = Argv(words);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
        ::dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
        if (closeFd >= 0) ::close(closeFd);
        if (plant) PlantStaleObjects();
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Reads from `fd` until a newline, the end, or the deadline.
std::string ReadLine(int fd, Clock::time_point deadline) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    return line;
}

bool Reap(pid_t pid, std::chrono::milliseconds limit, int& status) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

}  // namespace

const char* ServerPath() { return TARV_BROWSER_SERVER_PATH; }

ServerChild::ServerChild(const Launch& launch) {
    char logTemplate[] = "/tmp/tarv-browser-server-log-XXXXXX";
    const int logFd = ::mkstemp(logTemplate);
    if (logFd < 0) throw std::runtime_error(std::string("mkstemp: ") + std::strerror(errno));
    logPath_ = logTemplate;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        ::close(logFd);
        std::remove(logPath_.c_str());
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    try {
        pid_ = Spawn(launch.args, pipeFds[1], logFd, launch.plantStaleObjects, pipeFds[0]);
    } catch (...) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::close(logFd);
        std::remove(logPath_.c_str());
        throw;
    }
    ::close(pipeFds[1]);
    ::close(logFd);
    const std::string line = ReadLine(pipeFds[0], Clock::now() + kStartLimit);
    ::close(pipeFds[0]);
    const std::string expected = std::to_string(static_cast<long>(pid_)) + "\n";
    if (line != expected) {
        const std::string log = Log();
        Discard();
        throw std::runtime_error("browser-server did not print its process id; printed \"" + line + "\"; log: " + log);
    }
}

ServerChild::~ServerChild() { Discard(); }

void ServerChild::Discard() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
    }
    if (pid_ > 0) RemoveLeftovers();
    if (!logPath_.empty()) std::remove(logPath_.c_str());
    logPath_.clear();
}

void ServerChild::Signal(int signalNumber) const {
    if (!reaped_) ::kill(pid_, signalNumber);
}

bool ServerChild::WaitExit(std::chrono::milliseconds limit, int& status) {
    if (reaped_) return false;
    reaped_ = Reap(pid_, limit, status);
    return reaped_;
}

std::string ServerChild::Log() const {
    std::ifstream in(logPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ServerChild::WaitForLog(const std::string& text, std::chrono::milliseconds limit) const {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (Log().find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

std::vector<std::string> ServerChild::Leftovers() const {
    std::vector<std::string> found = ShmEntriesContaining("Tarv_Browser_" + std::to_string(Pid()) + "_");
    for (const std::string& ticket : ShmEntriesContaining("Tarv_" + std::to_string(Pid()) + "_Ticket_"))
        found.push_back(ticket);
    return found;
}

void ServerChild::RemoveLeftovers() const {
    RemoveShmEntriesContaining("Tarv_Browser_" + std::to_string(Pid()) + "_");
    RemoveShmEntriesContaining("Tarv_" + std::to_string(Pid()) + "_Ticket_");
}

int RunServerToEnd(const std::vector<std::string>& args, std::chrono::milliseconds limit, std::string& output) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    const int devNull = ::open("/dev/null", O_WRONLY);
    pid_t pid = -1;
    try {
        pid = Spawn(args, pipeFds[1], devNull, false, pipeFds[0]);
    } catch (...) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (devNull >= 0) ::close(devNull);
        throw;
    }
    ::close(pipeFds[1]);
    if (devNull >= 0) ::close(devNull);
    const Clock::time_point deadline = Clock::now() + limit;
    output.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!Reap(pid, std::max(left, std::chrono::milliseconds(0)), status)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    // A server that started after all leaves nothing behind either.
    RemoveShmEntriesContaining("Tarv_Browser_" + std::to_string(static_cast<long>(pid)) + "_");
    return status;
}

}  // namespace Testing
}  // namespace Tarv

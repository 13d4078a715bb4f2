// The Chromium process of the render engine: started with its DevTools pipe
// on descriptors 3 and 4, in a process group of its own, with a fresh profile
// directory; killed as a whole group, reaped, and its profile removed.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Tarv {
namespace Server {
namespace detail {

// Owns one file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset();

private:
    int fd_ = -1;
};

// A thread that runs jobs one after the other and lives as long as its owner.
// Chromium is forked from it: the parent-death signal that ends Chromium with
// the server fires when the forking thread ends, so that thread must not be a
// short-lived one.
class Launcher {
public:
    Launcher();
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // Runs `job` on the launcher's thread; returns its result or rethrows its
    // exception.
    template <class Job>
    auto Run(Job job) -> decltype(job()) {
        auto task = std::make_shared<std::packaged_task<decltype(job())()>>(std::move(job));
        auto result = task->get_future();
        Post([task] { (*task)(); });
        return result.get();
    }

private:
    void Post(std::function<void()> job);
    void Loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

class ChromiumProcess {
public:
    // Starts Chromium from the launcher's thread. Throws std::runtime_error
    // when there is no Chromium, or when it cannot be started.
    static std::unique_ptr<ChromiumProcess> Start(Launcher& launcher);

    // Kills the group, reaps Chromium and removes the profile.
    ~ChromiumProcess();
    ChromiumProcess(const ChromiumProcess&) = delete;
    ChromiumProcess& operator=(const ChromiumProcess&) = delete;

    pid_t Pid() const { return pid_; }
    const std::string& Profile() const { return profile_; }
    const std::string& Binary() const { return binary_; }

    // Our ends of the DevTools pipe, handed over once.
    UniqueFd TakeCommandEnd() { return std::move(commands_); }
    UniqueFd TakeEventEnd() { return std::move(events_); }

    // SIGKILL to Chromium's whole process group (its helpers included).
    void Kill();

    // Waits up to kReapLimit for Chromium to end; returns how it ended (for
    // the log), or an empty text when it still runs. Reaps only once.
    std::string Reap();

    // Removes the profiles of render engines whose server process is gone.
    static void RemoveStaleProfiles();

private:
    ChromiumProcess() = default;

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string exit_;
    std::string binary_;
    std::string profile_;
    UniqueFd commands_;
    UniqueFd events_;
};

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

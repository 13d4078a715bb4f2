// Helpers of the interprocess suites: segments and channel names that are
// removed when the test ends, forked child processes, and one-byte signals
// between parent and child.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <utility>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>

#include "browser/Records.hpp"
#include "interprocess/Channel.hpp"
#include "interprocess/Segment.hpp"

namespace Tarv {
namespace Testing {

using Interprocess::Segment;
using ResultChannel = Interprocess::Channel<Segment, Browser::ServerResult>;
using RequestChannel = Interprocess::Channel<Segment, Browser::Request>;

// Large enough for every record these suites build, small enough to be cheap.
constexpr std::size_t kTestSegmentSize = 256 * 1024;

// A child killed by its alarm has hung: no test waits this long.
constexpr unsigned kChildAlarmSeconds = 10;

// How long a parent waits for a child's signal before giving up.
constexpr int kSignalWaitMs = 5000;

// What a child reports through its exit status.
enum ChildStatus : int {
    kChildOk = 0,
    kChildWrongData = 1,
    kChildTimedOut = 2,
    kChildNotFound = 3,
    kChildNotWoken = 4,
    kChildException = 98,
};

inline void SleepMs(long ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

// A managed segment created for the test and removed when it ends.
class ScopedSegment {
public:
    ScopedSegment(std::string name, std::size_t size)
        : name_(std::move(name)), segment_(boost::interprocess::create_only, name_.c_str(), size) {}
    ~ScopedSegment() { boost::interprocess::shared_memory_object::remove(name_.c_str()); }
    ScopedSegment(const ScopedSegment&) = delete;
    ScopedSegment& operator=(const ScopedSegment&) = delete;

    Segment& operator*() { return segment_; }
    Segment* operator->() { return &segment_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    Segment segment_;
};

// Removes the named mutex and named condition of channel `name` on both ends
// of the test, whatever the test left behind.
class ScopedChannelNames {
public:
    explicit ScopedChannelNames(const std::string& name)
        : mutex(name + "_Channel_Mutex"), condition(name + "_Channel_Condition") {
        Remove();
    }
    ~ScopedChannelNames() { Remove(); }
    ScopedChannelNames(const ScopedChannelNames&) = delete;
    ScopedChannelNames& operator=(const ScopedChannelNames&) = delete;

    const std::string mutex;
    const std::string condition;

private:
    void Remove() const {
        boost::interprocess::named_mutex::remove(mutex.c_str());
        boost::interprocess::named_condition::remove(condition.c_str());
    }
};

// A pipe carrying one-byte signals between the two sides of a fork.
class SignalPipe {
public:
    SignalPipe() {
        if (pipe(fds_) != 0) throw std::runtime_error("pipe failed");
    }
    ~SignalPipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    void Send() const {
        const char byte = 'x';
        while (write(fds_[1], &byte, 1) < 0) {
        }
    }
    // True when a signal arrived within `timeoutMs`.
    bool Await(int timeoutMs = kSignalWaitMs) const {
        pollfd entry{fds_[0], POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) != 1) return false;
        char byte = 0;
        return read(fds_[0], &byte, 1) == 1;
    }

private:
    int fds_[2];
};

// A forked child process running `body`, whose int result becomes the exit
// status. The child ends with _exit (no test framework code runs in it) and
// is killed by an alarm if it hangs; a child not yet waited for is killed and
// reaped when the object goes.
class ChildProcess {
public:
    template <class Body>
    explicit ChildProcess(Body body) {
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            alarm(kChildAlarmSeconds);
            int status = kChildException;
            try {
                status = body();
            } catch (...) {
                status = kChildException;
            }
            _exit(status);
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the child's end: its exit status, or minus the signal that
    // ended it.
    int Wait() {
        int status = 0;
        const pid_t pid = pid_;
        pid_ = -1;
        if (waitpid(pid, &status, 0) != pid) return -1000;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        if (WIFSIGNALED(status)) return -WTERMSIG(status);
        return -1000;
    }

private:
    pid_t pid_ = -1;
};

// An element that owns no record yet; its deleter frees records in `segment`.
template <class ChannelT>
typename ChannelT::Element NoRecord(Segment& segment) {
    return typename ChannelT::Element(nullptr, typename ChannelT::Element::deleter_type(segment.get_segment_manager()));
}

// A ServerResult built in `segment` and owned the way the channel owns it.
inline ResultChannel::Element MakeResult(Segment& segment, const std::string& url,
                                         const std::string& snapshot = std::string()) {
    ResultChannel::Element element(
        segment.construct<Browser::ServerResult>(boost::interprocess::anonymous_instance)(segment),
        ResultChannel::Element::deleter_type(segment.get_segment_manager()));
    element->url.assign(url.data(), url.size());
    element->snapshot.assign(snapshot.data(), snapshot.size());
    return element;
}

inline std::string UrlOf(const ResultChannel::Element& element) {
    return element ? std::string(element->url.data(), element->url.size()) : std::string("<empty>");
}

}  // namespace Testing
}  // namespace Tarv

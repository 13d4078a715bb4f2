// browser-server started as a child process of a test: its standard output
// (the process id line) comes through a pipe, its log goes to a file the test
// can read. The destructor kills and reaps the child if it still runs and
// removes every named object bearing its process id.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace Tarv {
namespace Testing {

class ServerChild {
public:
    struct Launch {
        std::vector<std::string> args{"--engine", "script", "--workers", "2"};
        // Before the server runs, put garbage under its ready mutex's, request
        // segment's and request channel's names (as a crashed server with the
        // same process id would have left).
        bool plantStaleObjects = false;
    };

    // Starts the server and waits until it prints its process id. Throws
    // std::runtime_error (after reaping it) when it does not.
    explicit ServerChild(const Launch& launch);
    ServerChild() : ServerChild(Launch()) {}
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    long Pid() const { return static_cast<long>(pid_); }

    void Signal(int signalNumber) const;
    // Waits up to `limit` for the child to end; true and its wait status in
    // `status` when it did.
    bool WaitExit(std::chrono::milliseconds limit, int& status);

    // The log written so far, and a wait until it holds `text`.
    std::string Log() const;
    bool WaitForLog(const std::string& text, std::chrono::milliseconds limit) const;

    // Entries of /dev/shm named after this server (its own objects and tickets).
    std::vector<std::string> Leftovers() const;
    void RemoveLeftovers() const;

private:
    void Discard();  // kill, reap, remove objects and the log

    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string logPath_;
};

// Runs browser-server with `args` to its end (killed after `limit`); returns
// the wait status, standard output in `output`.
int RunServerToEnd(const std::vector<std::string>& args, std::chrono::milliseconds limit, std::string& output);

// Path of the built server.
const char* ServerPath();

}  // namespace Testing
}  // namespace Tarv

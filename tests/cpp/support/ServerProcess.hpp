// The reference browser server started as a child process for a test.
#pragma once

#include <string>
#include <vector>

namespace Tarv {
namespace Testing {

class ServerProcess {
public:
    struct Options {
        std::string engine = "script";
        int workers = 2;
        std::vector<std::string> extraArgs;
        // Milliseconds the child waits before it starts the server: its
        // process id is known at once, the server comes up later.
        int startDelayMs = 0;
        // Wait in the constructor until the server accepts requests.
        bool waitReady = true;
    };

    // Starts the server and waits until it prints its process id (it then
    // accepts requests). Throws std::runtime_error when it does not start.
    explicit ServerProcess(const Options& options);
    ServerProcess() : ServerProcess(Options()) {}
    // Kills the server if it still runs, reaps it and removes every named
    // object bearing its process id.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    long pid() const { return pid_; }

    // Waits until the server prints its process id. Throws when it does not.
    void WaitReady();

    // Sends `signal` and reaps the server; returns its exit status (-1 when it
    // did not end within the time, after which it is killed).
    int Stop(int signal, int timeoutMs = 20000);
    // SIGKILL and reap: the server's named objects stay behind.
    void Kill();
    bool running() const { return running_; }

    // Fragments of the names of every object of this server.
    std::vector<std::string> NameFragments() const;

    static std::string BinaryPath();

private:
    long pid_ = 0;
    bool running_ = false;
    int output_ = -1;
};

}  // namespace Testing
}  // namespace Tarv

#include "support/ServerProcess.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "support/ShmNames.hpp"

#ifndef TARV_BROWSER_SERVER_PATH
#error "TARV_BROWSER_SERVER_PATH must name the browser-server binary"
#endif

namespace Tarv {
namespace Testing {

std::string ServerProcess::BinaryPath() { return TARV_BROWSER_SERVER_PATH; }

ServerProcess::ServerProcess(const Options& options) {
    std::vector<std::string> args = {BinaryPath(), "--engine", options.engine, "--workers",
                                      std::to_string(options.workers)};
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (options.startDelayMs > 0) usleep(static_cast<useconds_t>(options.startDelayMs) * 1000);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    pid_ = child;
    running_ = true;
    output_ = out[0];
    if (options.waitReady) WaitReady();
}

void ServerProcess::WaitReady() {
    std::string line;
    char c;
    while (output_ >= 0 && read(output_, &c, 1) == 1 && c != '\n') line += c;
    if (output_ >= 0) close(output_);
    output_ = -1;
    if (line != std::to_string(pid_)) {
        Stop(SIGKILL);
        throw std::runtime_error("browser-server did not start (first line: \"" + line + "\")");
    }
}

ServerProcess::~ServerProcess() {
    if (output_ >= 0) close(output_);
    if (running_) Kill();
    for (const auto& fragment : NameFragments()) RemoveShmEntriesContaining(fragment);
}

std::vector<std::string> ServerProcess::NameFragments() const {
    const std::string id = std::to_string(pid_);
    return {"Tarv_Browser_" + id + "_", "Tarv_" + id + "_Ticket_"};
}

int ServerProcess::Stop(int signal, int timeoutMs) {
    if (!running_) return -1;
    kill(static_cast<pid_t>(pid_), signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
        if (done == static_cast<pid_t>(pid_)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(static_cast<pid_t>(pid_), SIGKILL);
            waitpid(static_cast<pid_t>(pid_), &status, 0);
            running_ = false;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    running_ = false;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void ServerProcess::Kill() { Stop(SIGKILL); }

}  // namespace Testing
}  // namespace Tarv

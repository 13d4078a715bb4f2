// The interface between the server's core and the engines that produce pages.
//
// The core owns the shared-memory side (taking requests, opening tickets,
// building and appending results); an engine only turns one PageRequest into
// one PageAnswer. One engine object serves every worker thread at once: state
// that must not be shared (a connection handle, a browser tab) is kept per
// worker, sized by Start and indexed by the worker number Handle receives.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tarv {
namespace Server {

using Clock = std::chrono::steady_clock;

struct PageRequest {
    std::string url;                              // every byte the client sent, NUL included
    std::string ticket;                           // names the client's ticket segment
    std::map<std::string, std::string> options;  // option key -> value text
    Clock::time_point deadline;                   // answer by then, or throw EngineTimeOut
};

struct PageAnswer {
    std::string url;
    std::string lastModified;
    std::string src;
    std::string snapshot;  // any bytes
    bool dead = false;     // refuse the request: the client receives a dead result
    bool silent = false;   // send nothing at all: the client's wait runs out
    std::string why;       // for the log, when dead or silent
};

// Thrown by an engine that cannot answer by the request's deadline.
class EngineTimeOut : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Engine {
public:
    virtual ~Engine() = default;

    // Called once, before any Handle, with the number of workers that will
    // call Handle (worker numbers run from 0 to workers - 1).
    virtual void Start(std::size_t workers) { (void)workers; }

    // Produces the answer for one request, on worker `worker`'s thread. Any
    // exception becomes a dead result; EngineTimeOut is logged as a time-out.
    virtual PageAnswer Handle(const PageRequest& request, std::size_t worker) = 0;
};

// Makes the engine called `name`; throws std::invalid_argument naming the
// known engines when there is none of that name.
std::unique_ptr<Engine> MakeEngine(const std::string& name);

// Names MakeEngine accepts.
std::vector<std::string> EngineNames();

}  // namespace Server
}  // namespace Tarv

// The browser server's core: it owns the server's named objects (ready mutex,
// request segment, request channel) and a pool of worker threads that take
// requests, hand them to the engine and append the answers to the clients'
// result channels.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "core/Limits.hpp"
#include "interprocess/Permissions.hpp"
#include "engines/Engine.hpp"

namespace Tarv {
namespace Server {

struct Settings {
    std::size_t workers = 1;
    std::size_t segmentSize = Limits::kDefaultSegmentSize;
    std::chrono::milliseconds engineTimeout = Limits::kDefaultEngineTimeout;
    // Access mode of the server's named objects.
    unsigned mode = Interprocess::kOwnerOnlyMode;
};

namespace detail {
struct Shared;
}

class Server {
public:
    // Serves under this process's id. Removes stale objects bearing the
    // server's names, creates the request segment, the request channel in it
    // and the ready mutex, in that order, and starts the workers. Throws when
    // any of them cannot be made (nothing of this server is left behind then).
    Server(std::unique_ptr<Engine> engine, const Settings& settings);

    // Stops accepting (removes the ready mutex), lets requests in flight
    // finish within Limits::kDrainLimit, then removes the request segment and
    // its channel's mutex and condition. Requests still queued stay
    // unanswered. Returns false when some worker was still busy at the limit:
    // its thread is left running, and the process must end without running
    // static destructors (std::_Exit). Later calls do nothing and return the
    // first answer.
    bool Stop();

    // Stops, when Stop has not run.
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    long Pid() const { return pid_; }

private:
    long pid_;
    std::shared_ptr<detail::Shared> shared_;
    struct Running;
    std::unique_ptr<Running> running_;
};

}  // namespace Server
}  // namespace Tarv

// What the server's threads share: the engine, the request segment and its
// channel, the stop flag and the count of workers still running.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

#include <boost/shared_ptr.hpp>

#include "browser/Records.hpp"
#include "core/Server.hpp"
#include "core/detail/ServerNames.hpp"
#include "interprocess/Channel.hpp"
#include "interprocess/Segment.hpp"

namespace Tarv {
namespace Server {
namespace detail {

using RequestChannel = Interprocess::Channel<Interprocess::Segment, Browser::Request>;
using ResultChannel = Interprocess::Channel<Interprocess::Segment, Browser::ServerResult>;

struct Shared {
    Shared(std::unique_ptr<Engine> e, const Settings& s, ServerNames n)
        : engine(std::move(e)), settings(s), names(std::move(n)) {}

    std::unique_ptr<Engine> engine;
    const Settings settings;
    const ServerNames names;

    Interprocess::Segment requestSegment;
    boost::shared_ptr<RequestChannel> channel;

    std::atomic<bool> stopping{false};

    // Workers still in their loop; the last one to leave notifies.
    std::mutex runningMutex;
    std::condition_variable runningChanged;
    std::size_t running = 0;
};

// A worker's whole life: take requests until the stop flag is set, handling
// each one completely (nothing escapes; every failure becomes a log record).
void RunWorker(const std::shared_ptr<Shared>& shared, std::size_t worker);

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

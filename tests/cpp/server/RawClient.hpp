// A minimal client of browser-server speaking the raw protocol with the same
// records and channel as the real client: it builds requests in the server's
// request segment and takes answers from ticket segments it creates itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>

#include "browser/Options.hpp"
#include "browser/Records.hpp"
#include "interprocess/Channel.hpp"
#include "interprocess/Segment.hpp"

namespace Tarv {
namespace Testing {

using RequestChannel = Interprocess::Channel<Interprocess::Segment, Browser::Request>;
using ResultChannel = Interprocess::Channel<Interprocess::Segment, Browser::ServerResult>;

// A taken server record, every byte of every field.
struct Answer {
    std::string url;
    std::string lastModified;
    std::string src;
    std::string snapshot;
    bool dead = false;
};

// The server's request segment and request channel, opened as a client does.
class RequestQueue {
public:
    explicit RequestQueue(long serverPid);

    // Builds one request (with its option map) and appends it, waking one waiter.
    void Push(const std::string& url, const std::string& ticket,
              const Browser::RequestOptions& options = Browser::RequestOptions());

    // Builds every request first, then appends them all under one hold of the
    // lock and wakes a single waiter once.
    void PushAll(const std::vector<std::pair<std::string, std::string>>& urlsAndTickets);

    std::size_t FreeMemory() const { return segment_.get_free_memory(); }
    bool HasOptionMap(const std::string& ticket);
    // Waits until the server has taken the request of `ticket` (its option
    // map is gone); false when that did not happen within `limit`.
    bool WaitTaken(const std::string& ticket, std::chrono::milliseconds limit);

private:
    Interprocess::Segment segment_;
    boost::shared_ptr<RequestChannel> channel_;
};

// One ticket: its name, and (after Open) its segment and result channel.
// The destructor tears the channel down and removes the segment.
class TicketBox {
public:
    explicit TicketBox(long serverPid);
    ~TicketBox();
    TicketBox(const TicketBox&) = delete;
    TicketBox& operator=(const TicketBox&) = delete;

    const std::string& Name() const { return name_; }
    // Creates the ticket segment (Protocol::kTicketSegmentSize) and the result channel.
    void Open();
    // The next answer, or none when nothing came within `limit`.
    boost::optional<Answer> Take(std::chrono::milliseconds limit);

private:
    std::string name_;
    std::unique_ptr<Interprocess::Segment> segment_;
    boost::shared_ptr<ResultChannel> channel_;
};

// The answer to one request, sent with a fresh ticket (opened right after queueing).
boost::optional<Answer> RoundTrip(long serverPid, const std::string& url,
                                  const Browser::RequestOptions& options = Browser::RequestOptions(),
                                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

}  // namespace Testing
}  // namespace Tarv

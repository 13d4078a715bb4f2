// One connection from a calling thread to the browser server: the identity of
// one page request (URL, server process id, ticket) and the handles on the
// ticket segment and result channel through which its answer comes back.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>
#include <log4cplus/logger.h>

#include "browser/Options.hpp"
#include "browser/Records.hpp"
#include "interprocess/Channel.hpp"

namespace Tarv {
namespace Browser {

class Client {
public:
    using ResultChannel = Interprocess::Channel<Segment, ServerResult>;
    using RequestChannel = Interprocess::Channel<Segment, Request>;

    // Touches no named object.
    Client(const std::string& url, std::int32_t serverPid);
    // Logs, runs Destory; an error of Destory becomes an ERROR record.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Binds the logger "Client" and names the ticket "Tarv_<pid>_Ticket_<n>",
    // distinct from the ticket of every other live client of this process.
    void Init();

    // Whether the server's ready mutex exists and its process is alive.
    // Never throws.
    bool IsServerOK() const;

    // Creates the ticket segment and result channel, then queues the request
    // in the server's request channel and wakes the server. Returns the
    // ticket. On failure Destory has run; a channel time-out is raised as
    // TimeOutException.
    boost::shared_ptr<std::string> SendRequest(const RequestOptions& options);

    // Waits for the server's answer under this client's own ticket: a first
    // look, then long waits with a liveness test after each. Raises
    // TimeOutException, "Server terminated.", "Server sent dead result.", or
    // std::invalid_argument for a ticket that is not this client's.
    boost::shared_ptr<Result> GetResponse(const std::string& ticket);

    // Destroys the result channel and removes the ticket segment. Safe to
    // call repeatedly and on a client that never submitted.
    void Destory();

    const std::string& Ticket() const { return ticket; }

private:
    log4cplus::Logger logger;
    std::int32_t serverPid;
    std::string url;
    boost::shared_ptr<Segment> segment;
    std::string ticket;
    boost::shared_ptr<ResultChannel> channel;
    std::uint32_t ticketNumber = 0;
    bool ticketReserved = false;
};

}  // namespace Browser
}  // namespace Tarv

#include "browser/Client.hpp"

#include <signal.h>

#include <cerrno>
#include <stdexcept>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>

#include "browser/Protocol.hpp"
#include "browser/TimeLimits.hpp"
#include "browser/TimeOutException.hpp"
#include "browser/detail/Tickets.hpp"
#include "config/Log.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Names.hpp"
#include "interprocess/Permissions.hpp"

namespace Tarv {
namespace Browser {
namespace {

namespace bip = boost::interprocess;
using Logging::kSourceClient;
constexpr log4cplus::LogLevel DEBUG = log4cplus::DEBUG_LOG_LEVEL;
constexpr log4cplus::LogLevel INFO = log4cplus::INFO_LOG_LEVEL;
constexpr log4cplus::LogLevel ERROR = log4cplus::ERROR_LOG_LEVEL;

const char* const kLoggerName = "Client";

// A process id in a name that no process bears any more: its objects outlive
// a server killed by a signal, so the name alone does not prove life.
bool ProcessExists(std::int32_t pid) { return pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

Client::Client(const std::string& u, std::int32_t pid)
    // Bound here already so that a client whose Init failed can still log its
    // release; Init binds it again.
    : logger(log4cplus::Logger::getInstance(kLoggerName)), serverPid(pid), url(u) {}

Client::~Client() {
    TARV_LOG(logger, DEBUG, kSourceClient, "~Client");
    try {
        Destory();
    } catch (const std::exception& e) {
        TARV_LOG(logger, ERROR, kSourceClient, "~Client Exception: " << e.what());
    } catch (...) {
        TARV_LOG(logger, ERROR, kSourceClient, "~Client EXCEPTION");
    }
    if (ticketReserved) detail::ReleaseTicketNumber(ticketNumber);
    channel.reset();
    ticket.clear();
    segment.reset();
}

void Client::Init() {
    logger = log4cplus::Logger::getInstance(kLoggerName);
    ticketNumber = detail::ReserveTicketNumber(url);
    ticketReserved = true;
    char name[Interprocess::kNameBufferSize] = {};
    std::snprintf(name, sizeof name, Protocol::kTicketFormat, static_cast<long>(serverPid),
                  static_cast<long>(ticketNumber));
    ticket = name;
    TARV_LOG(logger, DEBUG, kSourceClient,
             "Client::Init => " << url << " (" << ticket << ") ServerPid => " << serverPid);
}

bool Client::IsServerOK() const {
    bool ok = false;
    try {
        const std::string name = Interprocess::FormatName("Client::IsServerOK", Protocol::kReadyMutexFormat,
                                                          static_cast<long>(serverPid));
        bip::named_mutex ready(bip::open_only, name.c_str());
        ok = ProcessExists(serverPid);
    } catch (...) {
        ok = false;
    }
    TARV_LOG(logger, DEBUG, kSourceClient,
             "Client::IsServerOK (PID: " << serverPid << ") => " << (ok ? "TRUE" : "FALSE"));
    return ok;
}

boost::shared_ptr<std::string> Client::SendRequest(const RequestOptions& options) {
    TARV_LOG(logger, DEBUG, kSourceClient, "Client::SendRequest => " << url << " (" << ticket << ")");
    try {
        if (!IsServerOK()) throw std::runtime_error("Server stop serve request.");
        const std::string requestName = Interprocess::FormatName(
            "Client::SendRequest", Protocol::kRequestSegmentFormat, static_cast<long>(serverPid));
        Segment requestSegment(bip::open_only, requestName.c_str());
        boost::shared_ptr<RequestChannel> requests = RequestChannel::Get(requestSegment, requestName.c_str());
        if (!IsServerOK()) throw std::runtime_error("Server stop serve request.");
        TARV_LOG(logger, INFO, kSourceClient, "Client::SendRequest => " << url << " (" << ticket << ")");

        // The place of the answer exists before the server learns of the
        // request, so a server may open it as soon as it takes the request.
        bip::shared_memory_object::remove(ticket.c_str());
        detail::NoteTicketObjects(ticket);
        segment = boost::shared_ptr<Segment>(new Segment(bip::create_only, ticket.c_str(),
                                                         Protocol::kTicketSegmentSize, nullptr,
                                                         Interprocess::OwnerOnly()));
        channel = ResultChannel::Create(*segment, ticket.c_str(), Interprocess::OwnerOnly());

        RequestChannel::Element record(
            requestSegment.construct<Request>(bip::anonymous_instance)(requestSegment, url, ticket, options),
            RequestChannel::Element::deleter_type(requestSegment.get_segment_manager()));
        Interprocess::Append(*requests, record, CurrentTimeLimits().requestLockMs, Interprocess::Wake::One);
        return boost::shared_ptr<std::string>(new std::string(ticket));
    } catch (const Interprocess::TimeOutException&) {
        TARV_LOG(logger, INFO, kSourceClient, "SendRequst: TIMEOUT " << url << "(" << ticket << ")");
        Destory();
        throw TimeOutException();
    } catch (const std::exception& e) {
        TARV_LOG(logger, ERROR, kSourceClient,
                 "SendRequst: " << url << "(" << ticket << ") => " << "Exception: " << e.what());
        Destory();
        throw;
    }
}

boost::shared_ptr<Result> Client::GetResponse(const std::string& wanted) {
    TARV_LOG(logger, DEBUG, kSourceClient, "Client::GetResponse => " << url << " (" << wanted << ")");
    try {
        // Another request's ticket would drain that request's result channel.
        if (wanted != ticket)
            throw std::invalid_argument("GetResponse: ticket " + wanted + " is not this client's ticket " + ticket);
        segment = boost::shared_ptr<Segment>(new Segment(bip::open_only, wanted.c_str()));
        channel = ResultChannel::Get(*segment, wanted.c_str());

        ResultChannel::Element record(segment->construct<ServerResult>(bip::anonymous_instance)(*segment),
                                      ResultChannel::Element::deleter_type(segment->get_segment_manager()));
        const TimeLimits& limits = CurrentTimeLimits();
        try {
            channel->Take(record, limits.firstLookMs);
        } catch (const Interprocess::TimeOutException&) {
            for (int counter = 0;;) {
                try {
                    channel->Take(record, limits.sliceMs);
                    break;
                } catch (const Interprocess::TimeOutException&) {
                    TARV_LOG(logger, DEBUG, kSourceClient,
                             "Client::GetResponse TIMEOUT => " << url << "(" << wanted << ")" << "(" << counter
                                                               << ")");
                    if (!IsServerOK()) {
                        TARV_LOG(logger, ERROR, kSourceClient,
                                 "Client::GetResponse => " << url << "Server terminated (" << serverPid << ")");
                        throw std::runtime_error("Server terminated.");
                    }
                    if (++counter >= limits.slices) throw;
                }
            }
        }
        TARV_LOG(logger, INFO, kSourceClient, "Client::GetResponse => " << url << " (" << wanted << ")");
        if (IsDeadResult(*record)) {
            TARV_LOG(logger, ERROR, kSourceClient, "Client::GetResponse => " << url << " (" << wanted << ") (DEAD)");
            throw std::runtime_error("Server sent dead result.");
        }
        return boost::shared_ptr<Result>(new Result(CopyResult(*record)));
    } catch (const Interprocess::TimeOutException&) {
        TARV_LOG(logger, INFO, kSourceClient, "GetResponse: TIMEOUT " << url << "(" << wanted << ")");
        Destory();
        throw TimeOutException();
    } catch (const std::exception& e) {
        TARV_LOG(logger, ERROR, kSourceClient,
                 "GetResponse: " << url << "(" << wanted << ") => " << "Exception: " << e.what());
        Destory();
        throw;
    }
}

void Client::Destory() {
    TARV_LOG(logger, DEBUG, kSourceClient, "Client::Destory => " << url);
    if (!segment) {
        detail::ForgetTicketObjects(ticket);
        return;
    }
    if (channel) {
        try {
            ResultChannel::Destroy(*segment, ticket.c_str(), &ResultChannel::DummyCallback, 0);
        } catch (...) {
            // The names go all the same: a failed tear-down leaves neither
            // the ticket segment nor the channel's mutex and condition behind.
            channel.reset();
            const Interprocess::ChannelNames names = Interprocess::MakeChannelNames("Client::Destory", ticket.c_str());
            bip::named_condition::remove(names.condition.c_str());
            bip::named_mutex::remove(names.mutex.c_str());
            bip::shared_memory_object::remove(ticket.c_str());
            segment.reset();
            detail::ForgetTicketObjects(ticket);
            throw;
        }
        channel.reset();
    }
    bip::shared_memory_object::remove(ticket.c_str());
    segment.reset();
    detail::ForgetTicketObjects(ticket);
}

}  // namespace Browser
}  // namespace Tarv

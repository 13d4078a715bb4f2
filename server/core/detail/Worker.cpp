// One worker: takes requests from the request channel and answers each one.
//
// Per request: copy url, ticket and options out of the request segment and
// free all of it there (the option map and the record); open the client's
// ticket segment and result channel, which the client makes only after it has
// queued the request, so they may take a moment to appear; run the engine;
// build the ServerResult in the ticket segment and append it. A result that
// does not fit, an engine error or an engine time-out becomes a dead result.
#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>
#include <boost/optional.hpp>

#include "core/Log.hpp"
#include "core/detail/Shared.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Deadline.hpp"
#include "interprocess/SegmentState.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

namespace bip = boost::interprocess;
using Interprocess::Segment;

std::string Bytes(const Browser::ShmString& text) { return std::string(text.data(), text.size()); }

// Waits, in bounded slices, until a request is queued, and moves the oldest
// into `out`. Returns false without taking anything when the server stops.
// A worker that leaves records behind wakes another worker: clients wake one
// waiter per request, and Take itself notifies nobody.
bool TakeNext(Shared& shared, RequestChannel::Element& out) {
    RequestChannel& channel = *shared.channel;
    bip::scoped_lock<bip::named_mutex> lock(channel.mutex, Interprocess::DeadlineAfter(Limits::kTakePollMs));
    if (!lock.owns()) return false;
    while (channel.list->empty()) {
        if (shared.stopping) return false;
        channel.condition.timed_wait(lock, Interprocess::DeadlineAfter(Limits::kTakePollMs));
    }
    if (shared.stopping) return false;
    out = boost::move(channel.list->front());
    channel.list->pop_front();
    const bool more = !channel.list->empty();
    lock.unlock();
    if (more) channel.condition.notify_one();
    return true;
}

// Copies the request's options out of "<ticket>OptionMap" and destroys the map.
std::map<std::string, std::string> TakeOptions(Segment& segment, const std::string& ticket,
                                               const std::string& url) {
    const std::string name = Interprocess::FormatName("browser-server", Browser::kOptionMapNameFormat, ticket.c_str());
    std::map<std::string, std::string> options;
    Browser::Request::OptionMap* map = segment.find<Browser::Request::OptionMap>(name.c_str()).first;
    if (!map) {
        TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, kSourceWorker,
                 "no option map " << ForLog(name) << " for " << ForLog(url) << "; serving without options");
        return options;
    }
    try {
        for (const auto& entry : *map) options.emplace(Bytes(entry.first), Bytes(entry.second));
    } catch (...) {
        segment.destroy<Browser::Request::OptionMap>(name.c_str());
        throw;
    }
    segment.destroy<Browser::Request::OptionMap>(name.c_str());
    return options;
}

struct TicketSide {
    Segment segment;
    boost::shared_ptr<ResultChannel> channel;
};

// Opens the ticket segment and its result channel, trying again with short
// pauses for up to Limits::kTicketWait. Returns false, with the last error in
// `why`, when they did not appear in time.
bool OpenTicket(const std::string& ticket, TicketSide& side, std::string& why) {
    const Clock::time_point giveUp = Clock::now() + Limits::kTicketWait;
    std::chrono::milliseconds pause = Limits::kTicketFirstPause;
    bool segmentOpen = false;
    for (;;) {
        try {
            if (!segmentOpen) {
                // A segment that exists but was never initialised (its
                // creator died half-way) would make the open wait for good.
                const Interprocess::SegmentState state = Interprocess::InspectSegment(ticket.c_str());
                if (state != Interprocess::SegmentState::Ready)
                    throw std::runtime_error(state == Interprocess::SegmentState::Missing
                                                 ? "no ticket segment " + ticket
                                                 : "ticket segment " + ticket + " not initialised");
                side.segment = Segment(bip::open_only, ticket.c_str());
                segmentOpen = true;
            }
            side.channel = ResultChannel::Get(side.segment, ticket.c_str());
            return true;
        } catch (const std::exception& error) {
            why = error.what();
        }
        if (Clock::now() + pause > giveUp) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, Limits::kTicketLongestPause);
    }
}

// Builds one result in the ticket segment and appends it. Throws
// boost::interprocess::bad_alloc, or std::length_error for a text longer than
// the segment could ever hold, when it does not fit; the partial record is
// freed again then.
void Send(TicketSide& side, const std::string& url, const std::string& lastModified, const std::string& src,
          const std::string& snapshot) {
    ResultChannel::Element record(side.segment.construct<Browser::ServerResult>(bip::anonymous_instance)(side.segment),
                                  ResultChannel::Element::deleter_type(side.segment.get_segment_manager()));
    record->url.assign(url.data(), url.size());
    record->lastModified.assign(lastModified.data(), lastModified.size());
    record->src.assign(src.data(), src.size());
    record->snapshot.assign(snapshot.data(), snapshot.size());
    Interprocess::Append(*side.channel, record, Limits::kResultLockMs, Interprocess::Wake::One);
}

void SendDead(TicketSide& side, const std::string& url, const std::string& ticket) {
    try {
        Send(side, std::string(), Browser::kDeadMark, std::string(), std::string());
    } catch (const Interprocess::TimeOutException&) {
        TARV_LOG(ServerLogger(), log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                 "dropped " << ForLog(url) << " (" << ticket << "): result channel not locked within "
                            << Limits::kResultLockMs << " ms");
    } catch (const std::exception& error) {
        TARV_LOG(ServerLogger(), log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                 "dropped " << ForLog(url) << " (" << ticket << "): even the dead result failed: " << error.what());
    }
}

PageAnswer RunEngine(Shared& shared, const PageRequest& request, std::size_t worker) {
    PageAnswer dead;
    dead.dead = true;
    try {
        return shared.engine->Handle(request, worker);
    } catch (const EngineTimeOut& error) {
        dead.why = std::string("engine time-out: ") + error.what();
    } catch (const std::exception& error) {
        dead.why = std::string("engine error: ") + error.what();
    } catch (...) {
        dead.why = "engine error: unknown exception";
    }
    return dead;
}

void Handle(Shared& shared, RequestChannel::Element taken, std::size_t worker) {
    log4cplus::Logger logger = ServerLogger();
    PageRequest request;
    request.url = Bytes(taken->url);
    request.ticket = Bytes(taken->ticket);
    request.options = TakeOptions(shared.requestSegment, request.ticket, request.url);
    taken.reset();  // nothing of the request stays in the request segment
    const std::string& ticket = request.ticket;
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, kSourceWorker,
             "worker " << worker << " took " << ForLog(request.url) << " (" << ForLog(ticket) << ")");

    TicketSide side;
    std::string why;
    if (!OpenTicket(ticket, side, why)) {
        TARV_LOG(logger, log4cplus::WARN_LOG_LEVEL, kSourceWorker,
                 "dropped " << ForLog(request.url) << " (" << ForLog(ticket) << "): ticket did not appear within "
                            << Limits::kTicketWait.count() << " ms: " << why);
        return;
    }

    request.deadline = Clock::now() + shared.settings.engineTimeout;
    const PageAnswer answer = RunEngine(shared, request, worker);
    if (answer.silent) {
        TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceWorker,
                 "no answer for " << ForLog(request.url) << " (" << ForLog(ticket) << "): " << answer.why);
        return;
    }
    if (!answer.dead) {
        try {
            Send(side, answer.url, answer.lastModified, answer.src, answer.snapshot);
            TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, kSourceWorker,
                     "answered " << ForLog(request.url) << " (" << ForLog(ticket) << ")");
            return;
        } catch (const bip::bad_alloc&) {
            why = "result does not fit in the ticket segment";
        } catch (const std::length_error&) {
            why = "result does not fit in the ticket segment";
        } catch (const std::bad_alloc&) {
            why = "out of memory building the result";
        } catch (const Interprocess::TimeOutException&) {
            TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                     "dropped " << ForLog(request.url) << " (" << ForLog(ticket)
                                << "): result channel not locked within " << Limits::kResultLockMs << " ms");
            return;
        } catch (const std::exception& error) {
            why = std::string("building the result failed: ") + error.what();
        }
    } else {
        why = answer.why;
    }
    TARV_LOG(logger, log4cplus::WARN_LOG_LEVEL, kSourceWorker,
             "dead result for " << ForLog(request.url) << " (" << ForLog(ticket) << "): " << why);
    SendDead(side, request.url, ticket);
}

}  // namespace

void RunWorker(const std::shared_ptr<Shared>& shared, std::size_t worker) {
    log4cplus::Logger logger = ServerLogger();
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, kSourceWorker, "worker " << worker << " started");
    while (!shared->stopping) {
        RequestChannel::Element taken(
            nullptr, RequestChannel::Element::deleter_type(shared->requestSegment.get_segment_manager()));
        try {
            if (!TakeNext(*shared, taken)) continue;
        } catch (const std::exception& error) {
            TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                     "worker " << worker << ": request channel failed: " << error.what());
            std::this_thread::sleep_for(Limits::kTakeErrorPause);
            continue;
        }
        try {
            Handle(*shared, boost::move(taken), worker);
        } catch (const std::exception& error) {
            TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                     "worker " << worker << ": request failed and was dropped: " << error.what());
        } catch (...) {
            TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, kSourceWorker,
                     "worker " << worker << ": request failed and was dropped: unknown exception");
        }
    }
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, kSourceWorker, "worker " << worker << " stopped");
    std::lock_guard<std::mutex> lock(shared->runningMutex);
    if (--shared->running == 0) shared->runningChanged.notify_all();
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

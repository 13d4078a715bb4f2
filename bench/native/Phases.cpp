// Where the time of one round trip goes: the steps of Push and Pop (the gate,
// src/browser/Client.cpp's SendRequest, GetResponse and Destory) made one
// after the other with the same classes and Boost calls, in the same order,
// against a running browser-server, with a timestamp between every two
// steps. The log records the client writes at INFO are timed as a step of
// their own, written through the same logger set-up to standard output.
//
//   bench_phases --pid P --url script://size/2048 --warmup W --reps R
//                --out FILE
//
// The output holds one series per step, in order, and "total".
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/interprocess/shared_memory_object.hpp>

#include "DefaultOptions.hpp"
#include "Report.hpp"
#include "browser/Client.hpp"
#include "browser/Protocol.hpp"
#include "browser/Records.hpp"
#include "browser/TimeLimits.hpp"
#include "browser/detail/Tickets.hpp"
#include "config/Log.hpp"
#include "config/LoggerFactory.hpp"
#include "gate/Blocker.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Names.hpp"
#include "interprocess/Permissions.hpp"

namespace {

namespace bip = boost::interprocess;
using Tarv::Bench::NowNs;
using Tarv::Browser::Client;
using Tarv::Browser::Request;
using Tarv::Browser::Result;
using Tarv::Browser::Segment;
using Tarv::Browser::ServerResult;
using Gate = Tarv::Browser::Blocker<boost::shared_ptr<Client>>;

constexpr int kGateBound = 64;

// The steps, in the order they happen.
const char* const kSteps[] = {
    "client and ticket name",       // new Client, Init
    "gate admission",               // Blocker::Add
    "liveness test 1",              // IsServerOK: open the ready mutex
    "open request segment",         // managed_shared_memory open_only
    "get request channel",          // Channel::Get: find the list, open mutex and condition
    "liveness test 2",              // IsServerOK again
    "create ticket segment",        // remove, managed_shared_memory create_only 5033164 bytes
    "create result channel",        // Channel::Create: list, named mutex, named condition
    "build request record",         // Request with its option map, in the request segment
    "append and wake",              // timed lock, push_back, unlock, notify_one
    "close request segment",        // the call's channel handle and mapping go
    "reopen ticket segment",        // GetResponse: open_only by the ticket, Channel::Get
    "placeholder record",           // an empty ServerResult in the ticket segment
    "wait for the answer",          // Take: first look, then slices
    "copy the answer",              // CopyResult into a new Result
    "free the answer record",       // the record is destroyed in the ticket segment
    "gate lookup",                  // Blocker::Get
    "tear-down",                    // Channel::Destroy, remove the ticket segment
    "gate release",                 // Blocker::Remove: the client goes
    "log records (2 at INFO)",      // SendRequest's and GetResponse's INFO records
};
constexpr std::size_t kStepCount = sizeof kSteps / sizeof kSteps[0];


class Stopwatch {
public:
    Stopwatch() : last_(NowNs()) {}
    void Lap(std::size_t step) {
        const std::int64_t now = NowNs();
        laps_[step] = now - last_;
        last_ = now;
    }
    std::int64_t operator[](std::size_t step) const { return laps_[step]; }

private:
    std::int64_t last_;
    std::int64_t laps_[kStepCount] = {};
};

// One round trip, step by step. Returns false (after cleaning up) when the
// answer did not come or had the wrong size.
bool RoundTrip(Gate& gate, long pid, const std::string& url, const Tarv::Browser::RequestOptions& options,
               long srcBytes, const log4cplus::Logger& clientLogger, Stopwatch& watch) {
    using Tarv::Interprocess::FormatName;
    namespace Protocol = Tarv::Browser::Protocol;
    std::size_t step = 0;
    watch = Stopwatch();

    boost::shared_ptr<Client> client(new Client(url, static_cast<std::int32_t>(pid)));
    client->Init();
    const std::string ticket = client->Ticket();
    watch.Lap(step++);
    gate.Add(client, Tarv::Browser::CurrentTimeLimits().admissionMs);
    watch.Lap(step++);

    boost::shared_ptr<Segment> segment;
    boost::shared_ptr<Client::ResultChannel> channel;
    struct Cleanup {
        const std::string& ticket;
        ~Cleanup() {
            const Tarv::Interprocess::ChannelNames names =
                Tarv::Interprocess::MakeChannelNames("bench_phases", ticket.c_str());
            bip::named_condition::remove(names.condition.c_str());
            bip::named_mutex::remove(names.mutex.c_str());
            bip::shared_memory_object::remove(ticket.c_str());
            Tarv::Browser::detail::ForgetTicketObjects(ticket);
        }
    } cleanup{ticket};

    {
        if (!client->IsServerOK()) throw std::runtime_error("Server stop serve request.");
        watch.Lap(step++);
        const std::string requestName =
            FormatName("bench_phases", Protocol::kRequestSegmentFormat, static_cast<long>(pid));
        Segment requestSegment(bip::open_only, requestName.c_str());
        watch.Lap(step++);
        boost::shared_ptr<Client::RequestChannel> requests =
            Client::RequestChannel::Get(requestSegment, requestName.c_str());
        watch.Lap(step++);
        if (!client->IsServerOK()) throw std::runtime_error("Server stop serve request.");
        watch.Lap(step++);

        bip::shared_memory_object::remove(ticket.c_str());
        Tarv::Browser::detail::NoteTicketObjects(ticket);
        segment.reset(new Segment(bip::create_only, ticket.c_str(), Protocol::kTicketSegmentSize, nullptr,
                                  Tarv::Interprocess::OwnerOnly()));
        watch.Lap(step++);
        channel = Client::ResultChannel::Create(*segment, ticket.c_str(), Tarv::Interprocess::OwnerOnly());
        watch.Lap(step++);

        Client::RequestChannel::Element record(
            requestSegment.construct<Request>(bip::anonymous_instance)(requestSegment, url, ticket, options),
            Client::RequestChannel::Element::deleter_type(requestSegment.get_segment_manager()));
        watch.Lap(step++);
        Tarv::Interprocess::Append(*requests, record, Tarv::Browser::CurrentTimeLimits().requestLockMs,
                                   Tarv::Interprocess::Wake::One);
        watch.Lap(step++);
    }
    watch.Lap(step++);

    segment.reset(new Segment(bip::open_only, ticket.c_str()));
    channel = Client::ResultChannel::Get(*segment, ticket.c_str());
    watch.Lap(step++);
    Client::ResultChannel::Element record(segment->construct<ServerResult>(bip::anonymous_instance)(*segment),
                                          Client::ResultChannel::Element::deleter_type(segment->get_segment_manager()));
    watch.Lap(step++);
    const Tarv::Browser::TimeLimits& limits = Tarv::Browser::CurrentTimeLimits();
    try {
        channel->Take(record, limits.firstLookMs);
    } catch (const Tarv::Interprocess::TimeOutException&) {
        try {
            channel->Take(record, limits.sliceMs);
        } catch (const Tarv::Interprocess::TimeOutException&) {
            gate.Remove();
            return false;
        }
    }
    watch.Lap(step++);
    const boost::shared_ptr<Result> result(new Result(Tarv::Browser::CopyResult(*record)));
    watch.Lap(step++);
    record.reset();
    watch.Lap(step++);

    const boost::shared_ptr<Client> found = gate.Get();
    watch.Lap(step++);
    Client::ResultChannel::Destroy(*segment, ticket.c_str(), &Client::ResultChannel::DummyCallback, 0);
    channel.reset();
    bip::shared_memory_object::remove(ticket.c_str());
    segment.reset();
    Tarv::Browser::detail::ForgetTicketObjects(ticket);
    watch.Lap(step++);
    client.reset();
    gate.Remove();
    watch.Lap(step++);

    TARV_LOG(clientLogger, log4cplus::INFO_LOG_LEVEL, Tarv::Logging::kSourceClient,
             "Client::SendRequest => " << url << " (" << ticket << ")");
    TARV_LOG(clientLogger, log4cplus::INFO_LOG_LEVEL, Tarv::Logging::kSourceClient,
             "Client::GetResponse => " << url << " (" << ticket << ")");
    watch.Lap(step++);
    return srcBytes < 0 || result->src.size() == static_cast<std::size_t>(srcBytes);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Tarv::Bench::Arguments args(argc, argv);
        const long pid = args.Number("pid", 0);
        const std::string url = args.Text("url");
        const long srcBytes = args.Number("src-bytes", -1);
        const long warmup = args.Number("warmup", 100);
        const long reps = args.Number("reps", 1000);
        Tarv::Logging::LoggerFactory::InitLogger();
        const log4cplus::Logger clientLogger = log4cplus::Logger::getInstance("Client");
        const Tarv::Browser::RequestOptions options = Tarv::Bench::DefaultOptions();
        Gate gate(kGateBound);

        std::vector<Tarv::Bench::Series> series(kStepCount + 1);
        for (std::size_t s = 0; s < kStepCount; ++s) series[s].name = kSteps[s];
        series[kStepCount].name = "total";
        Stopwatch watch;
        const std::int64_t start = NowNs();
        for (long n = -warmup; n < reps; ++n) {
            const std::string requestUrl = url + "/phases-" + std::to_string(n);
            if (!RoundTrip(gate, pid, requestUrl, options, srcBytes, clientLogger, watch)) {
                if (n >= 0) ++series[kStepCount].errors;
                continue;
            }
            if (n < 0) continue;
            std::int64_t total = 0;
            for (std::size_t s = 0; s < kStepCount; ++s) {
                series[s].durationsNs.push_back(watch[s]);
                total += watch[s];
            }
            series[kStepCount].durationsNs.push_back(total);
        }
        series[kStepCount].wallNs = NowNs() - start;
        Tarv::Bench::WriteSeries(args.Text("out"), series);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_phases: %s\n", e.what());
        return 2;
    }
}

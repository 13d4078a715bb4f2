// The floors a round trip is measured against, all written directly on
// Boost.Interprocess and the C library, without the system's client, server
// or channel (only its constants and its way of naming a channel's objects):
//
//   bench_floor --mode pingpong --warmup W --reps R --out FILE
//       two processes wake each other through a process-shared condition
//       variable in shared memory; one sample is one ping and its pong.
//   bench_floor --mode protocol --warmup W --reps R --out FILE
//               [--src-bytes N] [--snapshot-bytes N]
//       the protocol's own steps against a minimal responder process: create
//       a 5033164-byte ticket segment with a record list, a named mutex and a
//       named condition; open the request segment and its channel; build the
//       request there and append it; wait for the answer; copy it out; remove
//       the ticket's objects. The responder opens the ticket, builds an
//       answer with an N-byte src (and snapshot) and appends it.
//   bench_floor --mode memcpy --bytes N --warmup W --reps R --out FILE
//       one copy of N bytes between two buffers already in memory.
//   bench_floor --mode freshmap --bytes N --warmup W --reps R --out FILE
//       create a shared-memory object of N bytes, map it, copy N bytes into
//       it, unmap it and remove its name.
//
// Named objects carry the prefix "TarvBench_<pid>_" and are removed on every
// way out.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/container/list.hpp>
#include <boost/container/string.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/anonymous_shared_memory.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/smart_ptr/deleter.hpp>
#include <boost/interprocess/smart_ptr/unique_ptr.hpp>
#include <boost/interprocess/sync/interprocess_condition.hpp>
#include <boost/interprocess/sync/interprocess_mutex.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>

#include "Report.hpp"
#include "browser/Protocol.hpp"
#include "interprocess/Names.hpp"

namespace {

namespace bip = boost::interprocess;
using Tarv::Bench::Arguments;
using Tarv::Bench::NowNs;
using Tarv::Bench::Series;

constexpr std::size_t kTicketSegmentBytes = Tarv::Browser::Protocol::kTicketSegmentSize;
constexpr std::size_t kRequestSegmentBytes = 1u << 20;  // the responder's; a few requests at a time
constexpr int kLockSeconds = 180;
constexpr int kAnswerSeconds = 15;

using Segment = bip::managed_shared_memory;
using Manager = Segment::segment_manager;
using ShmString = boost::container::basic_string<char, std::char_traits<char>, bip::allocator<char, Manager>>;

struct RequestRecord {
    explicit RequestRecord(Manager* m) : url(m), ticket(m) {}
    ShmString url;
    ShmString ticket;
};

struct AnswerRecord {
    explicit AnswerRecord(Manager* m) : url(m), lastModified(m), src(m), snapshot(m) {}
    ShmString url;
    ShmString lastModified;
    ShmString src;
    ShmString snapshot;
};

template <class R>
using Element = bip::unique_ptr<R, bip::deleter<R, Manager>>;
template <class R>
using List = boost::container::list<Element<R>, bip::allocator<Element<R>, Manager>>;

boost::posix_time::ptime After(int seconds) {
    return boost::posix_time::microsec_clock::universal_time() + boost::posix_time::seconds(seconds);
}

// The names of a channel's mutex and condition, as the system forms them.
struct ChannelNames : Tarv::Interprocess::ChannelNames {
    explicit ChannelNames(const std::string& channel)
        : Tarv::Interprocess::ChannelNames(Tarv::Interprocess::MakeChannelNames("bench_floor", channel.c_str())) {}
};

void RemoveChannel(const std::string& channel) {
    const ChannelNames names(channel);
    bip::named_mutex::remove(names.mutex.c_str());
    bip::named_condition::remove(names.condition.c_str());
}

// Removes, when it ends, the request side's names and those of the ticket
// currently in use.
class NameCleanup {
public:
    explicit NameCleanup(std::string request) : request_(std::move(request)) {}
    ~NameCleanup() {
        RemoveChannel(request_);
        bip::shared_memory_object::remove(request_.c_str());
        if (!ticket.empty()) {
            RemoveChannel(ticket);
            bip::shared_memory_object::remove(ticket.c_str());
        }
    }
    NameCleanup(const NameCleanup&) = delete;
    NameCleanup& operator=(const NameCleanup&) = delete;
    std::string ticket;

private:
    std::string request_;
};

// A forked child process; killed and reaped when the handle ends unless it
// was waited for.
class Child {
public:
    template <class Body>
    explicit Child(Body body) {
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            int status = 0;
            try {
                body();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench_floor child: %s\n", e.what());
                status = 1;
            }
            std::fflush(stderr);
            ::_exit(status);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Wait() {
        int status = 0;
        const pid_t pid = pid_;
        pid_ = -1;
        return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t pid_ = -1;
};

// A pipe the child writes one byte to once it is ready.
class ReadySignal {
public:
    ReadySignal() {
        if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
    }
    ~ReadySignal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    ReadySignal(const ReadySignal&) = delete;
    ReadySignal& operator=(const ReadySignal&) = delete;
    void Tell() { (void)!::write(fds_[1], "r", 1); }
    void Await() {
        char c = 0;
        if (::read(fds_[0], &c, 1) != 1) throw std::runtime_error("the child did not get ready");
    }

private:
    int fds_[2] = {-1, -1};
};

// --- ping-pong -------------------------------------------------------------

struct Turns {
    bip::interprocess_mutex mutex;
    bip::interprocess_condition changed;
    std::uint64_t turn = 0;  // odd: the ponging process is to move
    bool stop = false;
};

Series PingPong(long warmup, long reps) {
    bip::mapped_region region(bip::anonymous_shared_memory(sizeof(Turns)));
    Turns* turns = new (region.get_address()) Turns();
    Child pong([turns] {
        bip::scoped_lock<bip::interprocess_mutex> lock(turns->mutex);
        for (;;) {
            while (turns->turn % 2 == 0 && !turns->stop) turns->changed.wait(lock);
            if (turns->stop) return;
            ++turns->turn;
            turns->changed.notify_one();
        }
    });
    auto ping = [turns](int, long) {
        bip::scoped_lock<bip::interprocess_mutex> lock(turns->mutex);
        ++turns->turn;
        turns->changed.notify_one();
        while (turns->turn % 2 == 1) turns->changed.wait(lock);
        return true;
    };
    Series series = Tarv::Bench::RunThreads("pingpong", 1, warmup, reps, ping);
    {
        bip::scoped_lock<bip::interprocess_mutex> lock(turns->mutex);
        turns->stop = true;
        turns->changed.notify_all();
    }
    if (!pong.Wait()) throw std::runtime_error("the ponging process failed");
    turns->~Turns();
    return series;
}

// --- protocol --------------------------------------------------------------

void Respond(const std::string& requestName, std::size_t srcBytes, std::size_t snapshotBytes, ReadySignal& ready) {
    const ChannelNames names(requestName);
    Segment requests(bip::create_only, requestName.c_str(), kRequestSegmentBytes);
    List<RequestRecord>* queue = requests.construct<List<RequestRecord>>(requestName.c_str())(
        requests.get_segment_manager());
    bip::named_mutex mutex(bip::create_only, names.mutex.c_str());
    bip::named_condition condition(bip::create_only, names.condition.c_str());
    const std::string src(srcBytes, 'x');
    std::string snapshot(snapshotBytes, '\0');
    for (std::size_t i = 0; i < snapshotBytes; ++i) snapshot[i] = static_cast<char>(i % 251);
    ready.Tell();

    for (;;) {
        Element<RequestRecord> request(nullptr, bip::deleter<RequestRecord, Manager>(requests.get_segment_manager()));
        {
            bip::scoped_lock<bip::named_mutex> lock(mutex);
            while (queue->empty()) condition.wait(lock);
            request = boost::move(queue->front());
            queue->pop_front();
        }
        const std::string ticket(request->ticket.data(), request->ticket.size());
        const std::string url(request->url.data(), request->url.size());
        request.reset();
        if (ticket.empty()) return;

        Segment segment(bip::open_only, ticket.c_str());
        List<AnswerRecord>* answers = segment.find<List<AnswerRecord>>(ticket.c_str()).first;
        if (!answers) throw std::runtime_error("no answer list in " + ticket);
        const ChannelNames ticketNames(ticket);
        bip::named_mutex answerMutex(bip::open_only, ticketNames.mutex.c_str());
        bip::named_condition answerCondition(bip::open_only, ticketNames.condition.c_str());
        Element<AnswerRecord> answer(segment.construct<AnswerRecord>(bip::anonymous_instance)(
                                         segment.get_segment_manager()),
                                     bip::deleter<AnswerRecord, Manager>(segment.get_segment_manager()));
        answer->url.assign(url.data(), url.size());
        answer->lastModified.assign("size");
        answer->src.assign(src.data(), src.size());
        answer->snapshot.assign(snapshot.data(), snapshot.size());
        {
            bip::scoped_lock<bip::named_mutex> lock(answerMutex, After(kLockSeconds));
            if (!lock.owns()) throw std::runtime_error("answer lock timed out");
            answers->push_back(boost::move(answer));
        }
        answerCondition.notify_one();
    }
}

// What a client takes home: the four texts, copied out of the segment.
struct Copied {
    std::string url, lastModified, src, snapshot;
};

void Submit(const std::string& requestName, const std::string& url, const std::string& ticket) {
    const ChannelNames names(requestName);
    Segment requests(bip::open_only, requestName.c_str());
    List<RequestRecord>* queue = requests.find<List<RequestRecord>>(requestName.c_str()).first;
    if (!queue) throw std::runtime_error("no request list");
    bip::named_mutex mutex(bip::open_only, names.mutex.c_str());
    bip::named_condition condition(bip::open_only, names.condition.c_str());
    Element<RequestRecord> record(requests.construct<RequestRecord>(bip::anonymous_instance)(
                                      requests.get_segment_manager()),
                                  bip::deleter<RequestRecord, Manager>(requests.get_segment_manager()));
    record->url.assign(url.data(), url.size());
    record->ticket.assign(ticket.data(), ticket.size());
    {
        bip::scoped_lock<bip::named_mutex> lock(mutex, After(kLockSeconds));
        if (!lock.owns()) throw std::runtime_error("request lock timed out");
        queue->push_back(boost::move(record));
    }
    condition.notify_one();
}

bool ProtocolRoundTrip(const std::string& requestName, const std::string& ticket, long n, NameCleanup& cleanup,
                       std::size_t srcBytes, std::size_t snapshotBytes) {
    const ChannelNames names(ticket);
    cleanup.ticket = ticket;
    Copied copied;
    {
        bip::shared_memory_object::remove(ticket.c_str());
        Segment segment(bip::create_only, ticket.c_str(), kTicketSegmentBytes);
        List<AnswerRecord>* answers =
            segment.construct<List<AnswerRecord>>(ticket.c_str())(segment.get_segment_manager());
        RemoveChannel(ticket);
        bip::named_mutex mutex(bip::create_only, names.mutex.c_str());
        bip::named_condition condition(bip::create_only, names.condition.c_str());

        Submit(requestName, "script://size/" + std::to_string(srcBytes) + "/floor-" + std::to_string(n), ticket);

        Element<AnswerRecord> answer(nullptr, bip::deleter<AnswerRecord, Manager>(segment.get_segment_manager()));
        {
            const boost::posix_time::ptime deadline = After(kAnswerSeconds);
            bip::scoped_lock<bip::named_mutex> lock(mutex, deadline);
            if (!lock.owns()) return false;
            while (answers->empty())
                if (!condition.timed_wait(lock, deadline)) return false;
            answer = boost::move(answers->front());
            answers->pop_front();
        }
        copied.url.assign(answer->url.data(), answer->url.size());
        copied.lastModified.assign(answer->lastModified.data(), answer->lastModified.size());
        copied.src.assign(answer->src.data(), answer->src.size());
        copied.snapshot.assign(answer->snapshot.data(), answer->snapshot.size());
        answer.reset();
    }
    RemoveChannel(ticket);
    bip::shared_memory_object::remove(ticket.c_str());
    cleanup.ticket.clear();
    return copied.src.size() == srcBytes && copied.snapshot.size() == snapshotBytes;
}

Series Protocol(long warmup, long reps, std::size_t srcBytes, std::size_t snapshotBytes) {
    const std::string prefix = "TarvBench_" + std::to_string(::getpid()) + "_";
    const std::string requestName = prefix + "Request";
    NameCleanup cleanup(requestName);
    ReadySignal ready;
    Child responder([&] { Respond(requestName, srcBytes, snapshotBytes, ready); });
    ready.Await();

    auto step = [&](int, long n) {
        const std::string ticket = prefix + "Ticket_" + std::to_string(n < 0 ? -n : n) + (n < 0 ? "w" : "");
        return ProtocolRoundTrip(requestName, ticket, n, cleanup, srcBytes, snapshotBytes);
    };
    Series series = Tarv::Bench::RunThreads("protocol", 1, warmup, reps, step);
    Submit(requestName, "", "");  // the empty ticket ends the responder
    if (!responder.Wait()) throw std::runtime_error("the responder failed");
    return series;
}

// --- copies ----------------------------------------------------------------

Series MemoryCopy(long warmup, long reps, std::size_t bytes) {
    std::vector<char> from(bytes, 'x'), to(bytes, '\0');
    volatile char sink = 0;
    auto step = [&](int, long n) {
        from[static_cast<std::size_t>(n < 0 ? -n : n) % bytes] = static_cast<char>(n);
        std::memcpy(to.data(), from.data(), bytes);
        sink = sink + to[bytes / 2];
        return true;
    };
    return Tarv::Bench::RunThreads("memcpy", 1, warmup, reps, step);
}

Series FreshMapping(long warmup, long reps, std::size_t bytes) {
    const std::string name = "TarvBench_" + std::to_string(::getpid()) + "_Fresh";
    struct Remove {
        const std::string& name;
        ~Remove() { bip::shared_memory_object::remove(name.c_str()); }
    } remove{name};
    const std::vector<char> from(bytes, 'x');
    auto step = [&](int, long) {
        bip::shared_memory_object::remove(name.c_str());
        {
            bip::shared_memory_object object(bip::create_only, name.c_str(), bip::read_write);
            object.truncate(static_cast<bip::offset_t>(bytes));
            bip::mapped_region region(object, bip::read_write);
            std::memcpy(region.get_address(), from.data(), bytes);
        }
        bip::shared_memory_object::remove(name.c_str());
        return true;
    };
    return Tarv::Bench::RunThreads("freshmap", 1, warmup, reps, step);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Arguments args(argc, argv);
        const std::string mode = args.Text("mode");
        const long warmup = args.Number("warmup", 100);
        const long reps = args.Number("reps", 1000);
        const std::size_t bytes = static_cast<std::size_t>(args.Number("bytes", 4l << 20));
        Series series;
        if (mode == "pingpong")
            series = PingPong(warmup, reps);
        else if (mode == "protocol")
            series = Protocol(warmup, reps, static_cast<std::size_t>(args.Number("src-bytes", 2048)),
                              static_cast<std::size_t>(args.Number("snapshot-bytes", 0)));
        else if (mode == "memcpy")
            series = MemoryCopy(warmup, reps, bytes);
        else if (mode == "freshmap")
            series = FreshMapping(warmup, reps, bytes);
        else
            throw std::invalid_argument("unknown --mode " + mode);
        series.name = args.Text("name", series.name);
        Tarv::Bench::WriteSeries(args.Text("out"), {series});
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_floor: %s\n", e.what());
        return 2;
    }
}

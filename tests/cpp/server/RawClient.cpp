#include "server/RawClient.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <thread>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>

#include "browser/Protocol.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Deadline.hpp"
#include "interprocess/Names.hpp"

namespace Tarv {
namespace Testing {
namespace {

namespace bip = boost::interprocess;
constexpr std::int32_t kLockMs = 5000;

std::string Bytes(const Browser::ShmString& text) { return std::string(text.data(), text.size()); }

// Ticket numbers unique to this test process: its id in the high bits, a
// counter in the low ones.
long NextTicketNumber() {
    static std::atomic<std::uint32_t> counter{0};
    const std::uint32_t number = (static_cast<std::uint32_t>(::getpid()) << 12) + (counter++ & 0xfffu);
    return static_cast<long>(number);
}

RequestChannel::Element BuildRequest(Interprocess::Segment& segment, const std::string& url, const std::string& ticket,
                                     const Browser::RequestOptions& options) {
    return RequestChannel::Element(
        segment.construct<Browser::Request>(bip::anonymous_instance)(segment, url, ticket, options),
        RequestChannel::Element::deleter_type(segment.get_segment_manager()));
}

}  // namespace

RequestQueue::RequestQueue(long serverPid)
    : segment_(bip::open_only,
               Interprocess::FormatName("test", Browser::Protocol::kRequestSegmentFormat, serverPid).c_str()) {
    const std::string name = Interprocess::FormatName("test", Browser::Protocol::kRequestSegmentFormat, serverPid);
    channel_ = RequestChannel::Get(segment_, name.c_str());
}

void RequestQueue::Push(const std::string& url, const std::string& ticket, const Browser::RequestOptions& options) {
    RequestChannel::Element record = BuildRequest(segment_, url, ticket, options);
    Interprocess::Append(*channel_, record, kLockMs, Interprocess::Wake::One);
}

void RequestQueue::PushAll(const std::vector<std::pair<std::string, std::string>>& urlsAndTickets) {
    std::vector<RequestChannel::Element> records;
    for (const auto& request : urlsAndTickets)
        records.push_back(BuildRequest(segment_, request.first, request.second, Browser::RequestOptions()));
    {
        bip::scoped_lock<bip::named_mutex> lock(channel_->mutex, Interprocess::DeadlineAfter(kLockMs));
        if (!lock.owns()) throw Interprocess::TimeOutException();
        for (RequestChannel::Element& record : records) channel_->list->push_back(boost::move(record));
    }
    channel_->condition.notify_one();
}

bool RequestQueue::HasOptionMap(const std::string& ticket) {
    const std::string name = Interprocess::FormatName("test", Browser::kOptionMapNameFormat, ticket.c_str());
    return segment_.find<Browser::Request::OptionMap>(name.c_str()).first != nullptr;
}

bool RequestQueue::WaitTaken(const std::string& ticket, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (HasOptionMap(ticket)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

namespace {
std::string TicketName(long serverPid) {
    char name[Interprocess::kNameBufferSize] = {};
    std::snprintf(name, sizeof name, Browser::Protocol::kTicketFormat, serverPid, NextTicketNumber());
    return name;
}
}  // namespace

TicketBox::TicketBox(long serverPid) : name_(TicketName(serverPid)) {}

void TicketBox::Open() {
    bip::shared_memory_object::remove(name_.c_str());
    segment_ = std::make_unique<Interprocess::Segment>(bip::create_only, name_.c_str(),
                                                       Browser::Protocol::kTicketSegmentSize);
    channel_ = ResultChannel::Create(*segment_, name_.c_str());
}

boost::optional<Answer> TicketBox::Take(std::chrono::milliseconds limit) {
    ResultChannel::Element taken(nullptr, ResultChannel::Element::deleter_type(segment_->get_segment_manager()));
    try {
        channel_->Take(taken, static_cast<std::int32_t>(limit.count()));
    } catch (const Interprocess::TimeOutException&) {
        return boost::none;
    }
    Answer answer;
    answer.url = Bytes(taken->url);
    answer.lastModified = Bytes(taken->lastModified);
    answer.src = Bytes(taken->src);
    answer.snapshot = Bytes(taken->snapshot);
    answer.dead = Browser::IsDeadResult(*taken);
    return answer;
}

TicketBox::~TicketBox() {
    if (segment_) {
        channel_.reset();
        try {
            ResultChannel::Destroy(*segment_, name_.c_str(), &ResultChannel::DummyCallback, kLockMs);
        } catch (...) {
            const Interprocess::ChannelNames names = Interprocess::MakeChannelNames("test", name_.c_str());
            bip::named_mutex::remove(names.mutex.c_str());
            bip::named_condition::remove(names.condition.c_str());
        }
        segment_.reset();
    }
    bip::shared_memory_object::remove(name_.c_str());
}

boost::optional<Answer> RoundTrip(long serverPid, const std::string& url, const Browser::RequestOptions& options,
                                  std::chrono::milliseconds limit) {
    RequestQueue queue(serverPid);
    TicketBox ticket(serverPid);
    queue.Push(url, ticket.Name(), options);
    ticket.Open();
    return ticket.Take(limit);
}

}  // namespace Testing
}  // namespace Tarv

// Taking records from a channel: order, waiting, time-outs and ownership.
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <gtest/gtest.h>

#include "IpcFixtures.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Deadline.hpp"
#include "support/ShmNames.hpp"

namespace {

using namespace Tarv::Testing;
using Tarv::Interprocess::Append;
using Tarv::Interprocess::DeadlineAfter;
using Tarv::Interprocess::kMaxTimeoutMs;
using Tarv::Interprocess::TimeOutException;
namespace bip = boost::interprocess;

// Short enough to keep the suite fast, long enough to be a real wait.
constexpr std::int32_t kShortTimeoutMs = 200;
constexpr std::int32_t kLongTimeoutMs = 5000;

TEST(ChannelTake, ReturnsRecordsInTheOrderAnotherProcessAppendedThem) {
    const std::string name = UniqueName("fifo");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());

    ChildProcess writer([&] {
        Segment own(bip::open_only, name.c_str());
        auto handle = ResultChannel::Get(own, name.c_str());
        for (const char* url : {"first", "second", "third"}) {
            ResultChannel::Element record = MakeResult(own, url);
            Append(*handle, record, kLongTimeoutMs);
        }
        return int{kChildOk};
    });
    ASSERT_EQ(writer.Wait(), kChildOk);

    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "first");
    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "second");
    EXPECT_EQ(channel->list->size(), 1u);
    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "third");
    EXPECT_TRUE(channel->list->empty());
}

TEST(ChannelTake, ReturnsAtOnceWhenRecordsAreQueued) {
    const std::string name = UniqueName("at-once");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    for (const char* url : {"a", "b"}) {
        ResultChannel::Element record = MakeResult(*segment, url);
        Append(*channel, record, kLongTimeoutMs);
    }

    // A budget of one millisecond leaves no room for a wait: both calls must
    // find their record without one.
    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    ASSERT_NO_THROW(channel->Take(out, 1));
    EXPECT_EQ(UrlOf(out), "a");
    ASSERT_NO_THROW(channel->Take(out, 1));
    EXPECT_EQ(UrlOf(out), "b");
}

TEST(ChannelTake, WaitsForARecordThatAnotherProcessAppendsLater) {
    const std::string name = UniqueName("late");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    SignalPipe waiting;

    ChildProcess reader([&] {
        Segment own(bip::open_only, name.c_str());
        auto handle = ResultChannel::Get(own, name.c_str());
        waiting.Send();
        ResultChannel::Element out = NoRecord<ResultChannel>(own);
        try {
            handle->Take(out, 0);  // 0: no practical limit
        } catch (const TimeOutException&) {
            return int{kChildTimedOut};
        }
        return UrlOf(out) == "late" ? int{kChildOk} : int{kChildWrongData};
    });
    ASSERT_TRUE(waiting.Await());
    SleepMs(50);  // let the reader settle into its wait
    ResultChannel::Element record = MakeResult(*segment, "late");
    Append(*channel, record, kLongTimeoutMs);
    EXPECT_EQ(reader.Wait(), kChildOk);
    EXPECT_TRUE(channel->list->empty());
}

TEST(ChannelTake, NotificationWithoutRecordDoesNotEndTheWait) {
    const std::string name = UniqueName("notify-then-append");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());

    // The writer wakes the reader several times with nothing queued, then
    // appends one record. Take must come back with that record, never empty.
    ChildProcess writer([&] {
        Segment own(bip::open_only, name.c_str());
        auto handle = ResultChannel::Get(own, name.c_str());
        for (int i = 0; i < 10; ++i) {
            SleepMs(10);
            handle->condition.notify_all();
        }
        ResultChannel::Element record = MakeResult(own, "real");
        Append(*handle, record, kLongTimeoutMs);
        return int{kChildOk};
    });
    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    ASSERT_NO_THROW(channel->Take(out, kLongTimeoutMs));
    EXPECT_EQ(UrlOf(out), "real");
    EXPECT_EQ(writer.Wait(), kChildOk);
}

TEST(ChannelTake, TimesOutDespiteNotificationsAndLeavesOutUnchanged) {
    const std::string name = UniqueName("notify-only");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    SignalPipe stop;

    ChildProcess notifier([&] {
        Segment own(bip::open_only, name.c_str());
        auto handle = ResultChannel::Get(own, name.c_str());
        while (!stop.Await(10)) handle->condition.notify_all();
        return int{kChildOk};
    });

    ResultChannel::Element out = MakeResult(*segment, "kept");
    const Tarv::Browser::ServerResult* const before = out.get().get();
    EXPECT_THROW(channel->Take(out, kShortTimeoutMs), TimeOutException);
    stop.Send();
    EXPECT_EQ(out.get().get(), before);
    EXPECT_EQ(UrlOf(out), "kept");
    EXPECT_EQ(notifier.Wait(), kChildOk);

    // A record appended after the time-out stays queued for the next Take.
    ResultChannel::Element record = MakeResult(*segment, "after");
    Append(*channel, record, kLongTimeoutMs);
    EXPECT_EQ(channel->list->size(), 1u);
}

TEST(ChannelTake, TimesOutWhileAnotherProcessHoldsTheMutexAndLeavesOutUnchanged) {
    const std::string name = UniqueName("held-take");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Element queued = MakeResult(*segment, "queued");
    Append(*channel, queued, kLongTimeoutMs);
    SignalPipe locked;
    SignalPipe release;

    ChildProcess holder([&] {
        bip::named_mutex mutex(bip::open_only, names.mutex.c_str());
        bip::scoped_lock<bip::named_mutex> lock(mutex);
        locked.Send();
        release.Await();
        return int{kChildOk};
    });
    ASSERT_TRUE(locked.Await());

    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    EXPECT_THROW(channel->Take(out, kShortTimeoutMs), TimeOutException);
    EXPECT_FALSE(out);
    release.Send();
    ASSERT_EQ(holder.Wait(), kChildOk);

    // Once the holder is gone the queued record is still there to take.
    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "queued");
}

TEST(ChannelTake, DestroysTheRecordThatOutAlreadyOwned) {
    const std::string name = UniqueName("replace");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Element incoming = MakeResult(*segment, "incoming");
    Append(*channel, incoming, kLongTimeoutMs);

    const std::size_t freeBeforeOld = segment->get_free_memory();
    // The old record holds a block far larger than any list node, so its
    // memory coming back shows in the segment's free memory.
    ResultChannel::Element out = MakeResult(*segment, "old", std::string(20000, 's'));
    ASSERT_LT(segment->get_free_memory() + 20000, freeBeforeOld);

    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "incoming");
    // The old record and its block are freed, and so is the taken node.
    EXPECT_GE(segment->get_free_memory(), freeBeforeOld);
}

TEST(ChannelDeadline, ZeroMeansTheLargestTimeout) {
    EXPECT_EQ(kMaxTimeoutMs, 2147483647);
    const boost::posix_time::ptime before = boost::posix_time::microsec_clock::universal_time();
    const boost::posix_time::ptime deadline = DeadlineAfter(0);
    const boost::posix_time::ptime after = boost::posix_time::microsec_clock::universal_time();
    EXPECT_GE(deadline, before + boost::posix_time::milliseconds(kMaxTimeoutMs));
    EXPECT_LE(deadline, after + boost::posix_time::milliseconds(kMaxTimeoutMs));
}

TEST(ChannelDeadline, PositiveTimeoutIsThatManyMillisecondsFromNow) {
    for (std::int32_t ms : {1, 250, 180000, kMaxTimeoutMs}) {
        const boost::posix_time::ptime before = boost::posix_time::microsec_clock::universal_time();
        const boost::posix_time::ptime deadline = DeadlineAfter(ms);
        const boost::posix_time::ptime after = boost::posix_time::microsec_clock::universal_time();
        EXPECT_GE(deadline, before + boost::posix_time::milliseconds(ms)) << ms;
        EXPECT_LE(deadline, after + boost::posix_time::milliseconds(ms)) << ms;
    }
}

}  // namespace

// Creating, opening and tearing down channels, also after a crashed holder.
#include <functional>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/interprocess/exceptions.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <gtest/gtest.h>

#include "IpcFixtures.hpp"
#include "interprocess/Append.hpp"
#include "support/ShmNames.hpp"

namespace {

using namespace Tarv::Testing;
using Tarv::Interprocess::Append;
namespace bip = boost::interprocess;

constexpr std::int32_t kShortTimeoutMs = 100;
constexpr std::int32_t kLongTimeoutMs = 5000;

bool MutexExists(const std::string& name) {
    try {
        bip::named_mutex mutex(bip::open_only, name.c_str());
        return true;
    } catch (const bip::interprocess_exception&) {
        return false;
    }
}

bool ConditionExists(const std::string& name) {
    try {
        bip::named_condition condition(bip::open_only, name.c_str());
        return true;
    } catch (const bip::interprocess_exception&) {
        return false;
    }
}

// Counts the calls of a Destroy callback and what it was shown.
struct CallbackProbe {
    int calls = 0;
    const ResultChannel::List* seen = nullptr;
    std::size_t seenSize = 0;

    ResultChannel::Callback Callback() {
        return [this](ResultChannel::List& list) {
            ++calls;
            seen = &list;
            seenSize = list.size();
        };
    }
};

TEST(ChannelCreate, AfterACrashedHolderYieldsAFreshUnlockedMutex) {
    const std::string name = UniqueName("crash");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);

    // The crashed process: creates its segment and channel, locks the mutex
    // and dies without unlocking or tearing anything down.
    ChildProcess crashed([&] {
        Segment own(bip::create_only, name.c_str(), kTestSegmentSize);
        auto channel = ResultChannel::Create(own, name.c_str());
        channel->mutex.lock();
        _exit(kChildOk);
        return int{kChildWrongData};
    });
    ASSERT_EQ(crashed.Wait(), kChildOk);
    {
        bip::named_mutex leftover(bip::open_only, names.mutex.c_str());
        ASSERT_FALSE(leftover.try_lock()) << "the crashed holder's lock should still be in place";
    }
    ASSERT_TRUE(ConditionExists(names.condition));

    // The next life of the ticket: a new segment of the same name.
    bip::shared_memory_object::remove(name.c_str());
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ASSERT_TRUE(channel->mutex.try_lock());
    channel->mutex.unlock();

    // The fresh objects work as a channel: append, notify, take.
    ResultChannel::Element record = MakeResult(*segment, "after-crash");
    Append(*channel, record, kLongTimeoutMs);
    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    channel->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "after-crash");
}

TEST(ChannelCreate, FailsWithTheBoostErrorWhenTheSegmentAlreadyHoldsTheName) {
    struct Case {
        const char* what;
        std::function<void(Segment&, const std::string&)> occupy;
    };
    const Case cases[] = {
        {"an int", [](Segment& s, const std::string& n) { s.construct<int>(n.c_str())(7); }},
        {"a channel", [](Segment& s, const std::string& n) { ResultChannel::Create(s, n.c_str()); }},
    };
    for (const Case& c : cases) {
        const std::string name = UniqueName("taken");
        ShmCleanup cleanup(name);
        ScopedChannelNames names(name);
        ScopedSegment segment(name, kTestSegmentSize);
        c.occupy(*segment, name);
        const std::size_t objects = segment->get_num_named_objects();
        try {
            ResultChannel::Create(*segment, name.c_str());
            ADD_FAILURE() << c.what << ": Create succeeded on a taken name";
        } catch (const bip::interprocess_exception& e) {
            EXPECT_EQ(e.get_error_code(), bip::already_exists_error) << c.what;
        }
        EXPECT_EQ(segment->get_num_named_objects(), objects) << c.what;
    }
}

TEST(ChannelGet, WithoutTheListFailsWithUnableToFindEvenWhenMutexAndConditionExist) {
    const std::string name = UniqueName("no-list");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    bip::named_mutex mutex(bip::create_only, names.mutex.c_str());
    bip::named_condition condition(bip::create_only, names.condition.c_str());

    try {
        ResultChannel::Get(*segment, name.c_str());
        ADD_FAILURE() << "Get found a channel without its list";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to find " + name);
    }
}

TEST(ChannelGet, OpensTheSameQueueAsItsCreator) {
    const std::string name = UniqueName("get");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto created = ResultChannel::Create(*segment, name.c_str());
    auto opened = ResultChannel::Get(*segment, name.c_str());
    ASSERT_NE(created, opened);
    EXPECT_EQ(created->list, opened->list);

    ResultChannel::Element record = MakeResult(*segment, "shared");
    Append(*opened, record, kLongTimeoutMs);
    ResultChannel::Element out = NoRecord<ResultChannel>(*segment);
    created->Take(out, kLongTimeoutMs);
    EXPECT_EQ(UrlOf(out), "shared");
}

TEST(ChannelDestroy, WithAnEmptyQueueSkipsTheCallbackAndRemovesTheNames) {
    const std::string name = UniqueName("destroy-empty");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    ResultChannel::Create(*segment, name.c_str());

    CallbackProbe probe;
    ResultChannel::Destroy(*segment, name.c_str(), probe.Callback(), kLongTimeoutMs);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_FALSE(MutexExists(names.mutex));
    EXPECT_FALSE(ConditionExists(names.condition));
    // The list itself stays in the segment.
    EXPECT_NE(segment->find<ResultChannel::List>(name.c_str()).first, nullptr);
}

TEST(ChannelDestroy, WithOneRecordCallsTheCallbackOnceWithTheList) {
    const std::string name = UniqueName("destroy-one");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Element record = MakeResult(*segment, "left");
    Append(*channel, record, kLongTimeoutMs);

    CallbackProbe probe;
    ResultChannel::Destroy(*segment, name.c_str(), probe.Callback(), kLongTimeoutMs);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.seen, segment->find<ResultChannel::List>(name.c_str()).first);
    EXPECT_EQ(probe.seenSize, 1u);
    EXPECT_FALSE(MutexExists(names.mutex));
    EXPECT_FALSE(ConditionExists(names.condition));
}

TEST(ChannelDestroy, DropsTheCallbacksErrorAndStillRemovesTheNames) {
    const std::string name = UniqueName("destroy-throw");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Element record = MakeResult(*segment, "left");
    Append(*channel, record, kLongTimeoutMs);

    int calls = 0;
    ResultChannel::Callback throwing = [&calls](ResultChannel::List&) {
        ++calls;
        throw std::runtime_error("callback failed");
    };
    EXPECT_NO_THROW(ResultChannel::Destroy(*segment, name.c_str(), throwing, kLongTimeoutMs));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(MutexExists(names.mutex));
    EXPECT_FALSE(ConditionExists(names.condition));
}

TEST(ChannelDestroy, WithTheMutexHeldElsewhereSkipsTheCallbackWakesWaitersAndRemovesTheNames) {
    const std::string name = UniqueName("destroy-held");
    const std::string gateName = name + "_WaiterGate";
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    struct GateRemover {
        std::string name;
        ~GateRemover() { bip::named_mutex::remove(name.c_str()); }
    } gateRemover{gateName};
    ScopedSegment segment(name, kTestSegmentSize);
    auto channel = ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Element record = MakeResult(*segment, "left");
    Append(*channel, record, kLongTimeoutMs);
    bip::named_mutex gate(bip::create_only, gateName.c_str());

    SignalPipe locked;
    SignalPipe release;
    SignalPipe waiting;

    // One process keeps the channel's mutex for longer than Destroy waits.
    ChildProcess holder([&] {
        bip::named_mutex mutex(bip::open_only, names.mutex.c_str());
        bip::scoped_lock<bip::named_mutex> lock(mutex);
        locked.Send();
        release.Await();
        return int{kChildOk};
    });
    // Another waits on the channel's condition. It waits under a mutex of its
    // own (the channel's is taken); the parent takes that mutex once the
    // waiter is inside the wait, so the notification cannot come too early.
    ChildProcess waiter([&] {
        bip::named_mutex own(bip::open_only, gateName.c_str());
        bip::named_condition condition(bip::open_only, names.condition.c_str());
        bip::scoped_lock<bip::named_mutex> lock(own);
        waiting.Send();
        const boost::posix_time::ptime limit =
            boost::posix_time::microsec_clock::universal_time() + boost::posix_time::milliseconds(kLongTimeoutMs);
        return condition.timed_wait(lock, limit) ? int{kChildOk} : int{kChildNotWoken};
    });
    ASSERT_TRUE(locked.Await());
    ASSERT_TRUE(waiting.Await());
    { bip::scoped_lock<bip::named_mutex> inside(gate); }

    CallbackProbe probe;
    ResultChannel::Destroy(*segment, name.c_str(), probe.Callback(), kShortTimeoutMs);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_EQ(waiter.Wait(), kChildOk);
    EXPECT_FALSE(MutexExists(names.mutex));
    EXPECT_FALSE(ConditionExists(names.condition));

    release.Send();
    EXPECT_EQ(holder.Wait(), kChildOk);
}

TEST(ChannelDestroy, GetAfterDestroyFindsTheListButFailsOnTheMissingMutex) {
    const std::string name = UniqueName("get-after-destroy");
    ShmCleanup cleanup(name);
    ScopedChannelNames names(name);
    ScopedSegment segment(name, kTestSegmentSize);
    ResultChannel::Create(*segment, name.c_str());
    ResultChannel::Destroy(*segment, name.c_str(), &ResultChannel::DummyCallback, kLongTimeoutMs);

    ASSERT_NE(segment->find<ResultChannel::List>(name.c_str()).first, nullptr);
    EXPECT_THROW(ResultChannel::Get(*segment, name.c_str()), bip::interprocess_exception);
    // A second Destroy cannot open the mutex either.
    EXPECT_THROW(ResultChannel::Destroy(*segment, name.c_str(), &ResultChannel::DummyCallback, kLongTimeoutMs),
                 bip::interprocess_exception);
}

}  // namespace

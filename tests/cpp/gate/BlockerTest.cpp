// The admission gate: bound, waits and their deadlines, the per-thread
// registry, its records, and the containment of client tear-down errors.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <iterator>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/barrier.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include "browser/TimeOutException.hpp"
#include "config/RecordCapture.hpp"
#include "gate/Blocker.hpp"

namespace {

using Tarv::Browser::Blocker;
using Tarv::Browser::TimeOutException;
using Tarv::Testing::CapturedRecord;
using Tarv::Testing::RecordCapture;

log4cplus::Initializer log4cplusInitializer;

using Handle = boost::shared_ptr<std::string>;
using Gate = Blocker<Handle>;

constexpr int kShortMs = 50;
const std::chrono::milliseconds kPatience(5000);  // upper bound on waits that must succeed

Handle MakeHandle(const std::string& name) { return boost::make_shared<std::string>(name); }

// Runs `body` on a thread of the threading library and waits for it.
template <typename Body>
void OnOtherThread(Body body) {
    boost::thread thread(body);
    thread.join();
}

// Runs `body` on a thread of the threading library; true when it raised E.
template <typename E, typename Body>
bool RaisesOnOtherThread(Body body) {
    bool raised = false;
    OnOtherThread([&] {
        try {
            body();
        } catch (const E&) {
            raised = true;
        }
    });
    return raised;
}

// Joins a thread that must finish soon; a thread still blocked fails the test
// (and is detached so the failure is reported rather than hanging).
void JoinSoon(boost::thread& thread) {
    if (!thread.timed_join(boost::posix_time::milliseconds(kPatience.count()))) {
        ADD_FAILURE() << "thread still blocked in the gate";
        thread.detach();
    }
}

class BlockerTest : public ::testing::Test {
protected:
    RecordCapture records{log4cplus::Logger::getInstance("Blocker")};

    std::vector<std::string> Messages() const { return records->Messages(); }
};

TEST_F(BlockerTest, ZeroBoundAdmitsNobodyAndTimesOut) {
    Gate gate(0);
    EXPECT_THROW(gate.Add(MakeHandle("a"), kShortMs), TimeOutException);
    EXPECT_TRUE(RaisesOnOtherThread<TimeOutException>([&] { gate.Add(MakeHandle("b"), kShortMs); }));
    const std::vector<std::string> expected = {"Blocker => UPBOUND: 0", "Blocker::Add => Block",
                                               "Blocker::Add => TIMEOUT"};
    const std::vector<std::string> messages = Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(expected, std::vector<std::string>(messages.begin(), messages.begin() + 3));
    EXPECT_EQ(0u, records->Count("Blocker::Add"));
    EXPECT_THROW(gate.Get(), std::runtime_error);
}

TEST_F(BlockerTest, NegativeBoundAdmitsWithoutLimit) {
    const int bounds[] = {-1, INT32_MIN};
    for (const int bound : bounds) {
        SCOPED_TRACE("bound " + std::to_string(bound));
        const RecordCapture caseRecords(log4cplus::Logger::getInstance("Blocker"),
                                        log4cplus::DEBUG_LOG_LEVEL, "case");
        Gate gate(bound);
        constexpr int kThreads = 6;
        std::atomic<int> admitted{0};
        std::vector<std::unique_ptr<boost::thread>> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.push_back(std::make_unique<boost::thread>([&] {
                gate.Add(MakeHandle("t"), kShortMs);
                ++admitted;
            }));
        for (auto& thread : threads) JoinSoon(*thread);
        EXPECT_EQ(kThreads, admitted.load());
        EXPECT_EQ(0u, caseRecords->Count("Blocker::Add => Block"));
        EXPECT_EQ(1u, caseRecords->Count("Blocker::Add: size() => " + std::to_string(kThreads)));
    }
}

TEST_F(BlockerTest, FullGateBlocksWithoutLimitUntilRemoveOnAnotherThread) {
    Gate gate(1);
    const Handle mine = MakeHandle("main");
    gate.Add(mine, kShortMs);

    std::atomic<bool> admitted{false};
    Handle seenByWaiter;
    boost::thread waiter([&] {
        const Handle own = MakeHandle("waiter");
        gate.Add(own, 0);  // no limit
        admitted = true;
        seenByWaiter = gate.Get();
        EXPECT_EQ(own, seenByWaiter);
        gate.Remove();
    });
    // The record is written under the gate's lock, which the waiter gives up
    // only inside its wait: once it is there, the waiter waits.
    ASSERT_TRUE(records->WaitFor("Blocker::Add => Block", 1, kPatience));
    EXPECT_FALSE(admitted.load());
    EXPECT_EQ(mine, gate.Get());

    gate.Remove();
    JoinSoon(waiter);
    EXPECT_TRUE(admitted.load());
    ASSERT_TRUE(seenByWaiter);
    EXPECT_EQ("waiter", *seenByWaiter);
    EXPECT_THROW(gate.Get(), std::runtime_error);
}

TEST_F(BlockerTest, SecondAddFromRegisteredThreadFailsOnlyAfterAdmission) {
    struct Case {
        int bound;
        bool timesOut;  // the thread's own slot fills the gate
    };
    const Case cases[] = {{1, true}, {2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("bound " + std::to_string(c.bound));
        const RecordCapture caseRecords(log4cplus::Logger::getInstance("Blocker"),
                                        log4cplus::DEBUG_LOG_LEVEL, "case");
        Gate gate(c.bound);
        const Handle first = MakeHandle("first");
        gate.Add(first, kShortMs);
        if (c.timesOut) {
            EXPECT_THROW(gate.Add(MakeHandle("second"), kShortMs), TimeOutException);
        } else {
            try {
                gate.Add(MakeHandle("second"), kShortMs);
                ADD_FAILURE() << "second Add admitted";
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ("This thread has been added into blocker.", error.what());
            }
        }
        EXPECT_EQ(first, gate.Get()) << "the existing entry stays unchanged";
        EXPECT_EQ(1u, caseRecords->Count("Blocker::Add: size() => 1"));
        EXPECT_EQ(0u, caseRecords->Count("Blocker::Add: size() => 2"));
        gate.Remove();
    }
}

TEST_F(BlockerTest, GetForAbsentThreadRaises) {
    Gate gate(2);
    OnOtherThread([&] { gate.Add(MakeHandle("other"), kShortMs); });
    try {
        gate.Get();
        FAIL() << "Get found an entry for a thread that never was added";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ("This thread have not added into blocker yet.", error.what());
    }
}

TEST_F(BlockerTest, RemoveForAbsentThreadRecordsMissAndStillWakesAWaiter) {
    Gate gate(1);
    gate.Add(MakeHandle("main"), kShortMs);
    boost::thread waiter([&] { gate.Add(MakeHandle("waiter"), 0); gate.Remove(); });
    ASSERT_TRUE(records->WaitFor("Blocker::Add => Block", 1, kPatience));

    OnOtherThread([&] { gate.Remove(); });
    // Woken, the waiter tests again, finds the gate still full and blocks anew.
    ASSERT_TRUE(records->WaitFor("Blocker::Add => Block", 2, kPatience));
    const std::vector<std::string> expected = {
        "Blocker => UPBOUND: 1", "Blocker::Add", "Blocker::Add: size() => 1",
        "Blocker::Add => Block", "Blocker::Remove", "Blocker::Remove: NOT IN BLOCKER? ",
        "Blocker::Remove: size() => 1", "Blocker::Add => Block"};
    EXPECT_EQ(expected, Messages());

    gate.Remove();
    JoinSoon(waiter);
}

TEST_F(BlockerTest, RecordsTraceAddAndRemoveWithCounts) {
    Gate gate(3);
    gate.Add(MakeHandle("main"), kShortMs);
    OnOtherThread([&] {
        gate.Add(MakeHandle("other"), kShortMs);
        gate.Remove();
    });
    gate.Remove();

    const std::vector<std::string> expected = {
        "Blocker => UPBOUND: 3",     "Blocker::Add",        "Blocker::Add: size() => 1",
        "Blocker::Add",              "Blocker::Add: size() => 2",
        "Blocker::Remove",           "Blocker::Remove: OK", "Blocker::Remove: size() => 1",
        "Blocker::Remove",           "Blocker::Remove: OK", "Blocker::Remove: size() => 0"};
    EXPECT_EQ(expected, Messages());
    for (const CapturedRecord& record : records->Records()) {
        EXPECT_EQ(log4cplus::DEBUG_LOG_LEVEL, record.level) << record.message;
        EXPECT_EQ("Extension/browser/Kernel/Blocker", record.source) << record.message;
    }
}

TEST_F(BlockerTest, RecordsAreSkippedAboveDebug) {
    log4cplus::Logger logger = log4cplus::Logger::getInstance("Blocker");
    logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    Gate gate(1);
    gate.Add(MakeHandle("main"), kShortMs);
    gate.Remove();
    EXPECT_TRUE(Messages().empty());
}

TEST_F(BlockerTest, EachThreadGetsItsOwnClient) {
    Gate gate(4);
    std::vector<std::unique_ptr<boost::thread>> threads;
    std::atomic<int> matches{0};
    for (int i = 0; i < 3; ++i)
        threads.push_back(std::make_unique<boost::thread>([&gate, &matches, i] {
            const Handle own = MakeHandle("client" + std::to_string(i));
            gate.Add(own, kShortMs);
            boost::this_thread::yield();
            if (gate.Get() == own) ++matches;
        }));
    for (auto& thread : threads) JoinSoon(*thread);
    EXPECT_EQ(3, matches.load());
}

TEST_F(BlockerTest, DeadlineIsPerWait) {
    constexpr int kTimeoutMs = 400;
    Gate gate(1);
    gate.Add(MakeHandle("main"), kShortMs);

    using Clock = std::chrono::steady_clock;
    Clock::time_point started, timedOut;
    bool raised = false;
    boost::thread waiter([&] {
        started = Clock::now();
        try {
            gate.Add(MakeHandle("waiter"), kTimeoutMs);
        } catch (const TimeOutException&) {
            raised = true;
        }
        timedOut = Clock::now();
    });
    ASSERT_TRUE(records->WaitFor("Blocker::Add => Block", 1, kPatience));
    boost::this_thread::sleep(boost::posix_time::milliseconds(kTimeoutMs * 3 / 4));

    // A Remove from a thread without an entry wakes the waiter; the gate is
    // still full, so it starts a new wait with a full period of its own.
    const Clock::time_point woken = Clock::now();
    OnOtherThread([&] { gate.Remove(); });
    JoinSoon(waiter);

    EXPECT_TRUE(raised);
    EXPECT_EQ(2u, records->Count("Blocker::Add => Block"));
    EXPECT_EQ(1u, records->Count("Blocker::Add => TIMEOUT"));
    const auto sinceWake = std::chrono::duration_cast<std::chrono::milliseconds>(timedOut - woken);
    const auto total = std::chrono::duration_cast<std::chrono::milliseconds>(timedOut - started);
    // Small slack for the difference between the real-time and steady clocks.
    EXPECT_GE(sinceWake.count(), kTimeoutMs - 5);
    EXPECT_GT(total.count(), kTimeoutMs * 3 / 2);
}

TEST_F(BlockerTest, CreateReturnsTheSameGateAndIgnoresLaterBounds) {
    struct ResetInstance {
        ~ResetInstance() { Gate::instance.reset(); }
    } reset;
    ASSERT_FALSE(Gate::instance);

    std::vector<Gate*> seen(4, nullptr);
    std::vector<std::unique_ptr<boost::thread>> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.push_back(std::make_unique<boost::thread>(
            [&seen, i] { seen[i] = Gate::Create(1).get(); }));
    for (auto& thread : threads) JoinSoon(*thread);
    boost::shared_ptr<Gate>& later = Gate::Create(5);

    EXPECT_EQ(&Gate::instance, &later);
    for (Gate* gate : seen) EXPECT_EQ(later.get(), gate);
    EXPECT_EQ(1u, records->Count("Blocker => UPBOUND: 1"));
    EXPECT_EQ(0u, records->Count("Blocker => UPBOUND: 5"));

    // Still the bound of the first call: one admitted thread fills it.
    later->Add(MakeHandle("main"), kShortMs);
    EXPECT_TRUE(RaisesOnOtherThread<TimeOutException>(
        [&] { later->Add(MakeHandle("other"), kShortMs); }));
    later->Remove();
}

// A client handle whose release can fail: copies share one client, and the
// last copy to go releases it, raising the configured error.
class ProbeHandle {
public:
    enum class Failure { None, Standard, Other };

    ProbeHandle() = default;
    ProbeHandle(Failure failure, std::shared_ptr<std::atomic<int>> releases)
        : state_(std::make_shared<State>(State{failure, std::move(releases)})) {}
    ProbeHandle(const ProbeHandle&) = default;
    ProbeHandle(ProbeHandle&&) noexcept = default;
    ProbeHandle& operator=(const ProbeHandle&) = default;
    ProbeHandle& operator=(ProbeHandle&&) noexcept = default;

    ~ProbeHandle() noexcept(false) {
        if (!state_ || state_.use_count() != 1) return;
        const State last = *state_;
        state_.reset();
        ++*last.releases;
        if (last.failure == Failure::Standard) throw std::runtime_error("tear-down failed");
        if (last.failure == Failure::Other) throw 42;
    }

private:
    struct State {
        Failure failure;
        std::shared_ptr<std::atomic<int>> releases;
    };
    std::shared_ptr<State> state_;
};

using ProbeGate = Blocker<ProbeHandle>;

struct TearDownCase {
    ProbeHandle::Failure failure;
    const char* errorRecord;  // nullptr: no ERROR record
};
const TearDownCase kTearDownCases[] = {
    {ProbeHandle::Failure::None, nullptr},
    {ProbeHandle::Failure::Standard, "Blocker::RemoveFromMap Exception: tear-down failed"},
    {ProbeHandle::Failure::Other, "Blocker::RemoveFromMap EXCEPTION"},
};

std::vector<CapturedRecord> ErrorRecords(const std::vector<CapturedRecord>& all) {
    std::vector<CapturedRecord> errors;
    for (const CapturedRecord& record : all)
        if (record.level == log4cplus::ERROR_LOG_LEVEL) errors.push_back(record);
    return errors;
}

TEST_F(BlockerTest, TearDownErrorBecomesErrorRecordAndEntryIsGone) {
    for (const TearDownCase& c : kTearDownCases) {
        SCOPED_TRACE(c.errorRecord ? c.errorRecord : "no error");
        const auto before = records->Records().size();
        ProbeGate gate(2);
        auto releases = std::make_shared<std::atomic<int>>(0);
        gate.Add(ProbeHandle(c.failure, releases), kShortMs);
        EXPECT_EQ(0, releases->load());

        EXPECT_NO_THROW(gate.Remove());
        EXPECT_EQ(1, releases->load());
        EXPECT_THROW(gate.Get(), std::runtime_error);

        const std::vector<CapturedRecord> all = records->Records();
        const std::vector<CapturedRecord> mine(all.begin() + before, all.end());
        const std::vector<CapturedRecord> errors = ErrorRecords(mine);
        if (c.errorRecord) {
            ASSERT_EQ(1u, errors.size());
            EXPECT_EQ(c.errorRecord, errors[0].message);
            EXPECT_EQ("Extension/browser/Kernel/Blocker", errors[0].source);
        } else {
            EXPECT_TRUE(errors.empty());
        }
        ASSERT_FALSE(mine.empty());
        EXPECT_EQ("Blocker::Remove: size() => 0", mine.back().message);

        // The gate goes on admitting.
        EXPECT_NO_THROW(gate.Add(ProbeHandle(ProbeHandle::Failure::None, releases), kShortMs));
        gate.Remove();
    }
}

TEST_F(BlockerTest, DestructionReleasesRemainingClientsAndContainsTheirErrors) {
    auto releases = std::make_shared<std::atomic<int>>(0);
    {
        ProbeGate gate(-1);
        // The threads stay alive until all have been added, so that each has
        // an identity of its own.
        boost::barrier allAdded(static_cast<unsigned>(std::size(kTearDownCases)));
        std::vector<std::unique_ptr<boost::thread>> threads;
        for (const TearDownCase& c : kTearDownCases)
            threads.push_back(std::make_unique<boost::thread>([&gate, &allAdded, &releases, &c] {
                gate.Add(ProbeHandle(c.failure, releases), kShortMs);
                allAdded.wait();
            }));
        for (auto& thread : threads) JoinSoon(*thread);
        EXPECT_EQ(0, releases->load());
    }
    EXPECT_EQ(3, releases->load());
    std::vector<std::string> errors;
    for (const CapturedRecord& record : ErrorRecords(records->Records()))
        errors.push_back(record.message);
    std::sort(errors.begin(), errors.end());
    const std::vector<std::string> expected = {"Blocker::RemoveFromMap EXCEPTION",
                                               "Blocker::RemoveFromMap Exception: tear-down failed"};
    EXPECT_EQ(expected, errors);
}

}  // namespace

// Push and Pop on the calling thread, through the gate, against a server
// child process. The program's start-up ran with facade_test.ini (bound 3).
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "browser/TimeLimits.hpp"
#include "browser/TimeOutException.hpp"
#include "kernel/Facade.hpp"
#include "support/LogCapture.hpp"
#include "support/ServerProcess.hpp"
#include "support/ShmNames.hpp"

using namespace Tarv::Testing;
using Tarv::Browser::RequestOptions;
using Tarv::Browser::TimeLimits;

namespace {

class ScopedTimeLimits {
public:
    explicit ScopedTimeLimits(const TimeLimits& limits) : saved_(Tarv::Browser::CurrentTimeLimits()) {
        Tarv::Browser::Testing::SetTimeLimits(limits);
    }
    ~ScopedTimeLimits() { Tarv::Browser::Testing::SetTimeLimits(saved_); }

private:
    TimeLimits saved_;
};

std::string PopError(const std::string& url, const std::string& ticket) {
    try {
        Pop(url, ticket);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

class FacadeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(blocker) << "start-up did not build the gate"; }
    void SetUp() override { server = std::make_unique<ServerProcess>(); }
    void TearDown() override {
        server.reset();
    }
    unsigned long pid() const { return static_cast<unsigned long>(server->pid()); }
    std::unique_ptr<ServerProcess> server;
};

}  // namespace

TEST_F(FacadeTest, RoundTripOnOneThread) {
    const auto ticket = Push("script://echo/facade", true, pid(), {});
    ASSERT_FALSE(ticket->empty());
    EXPECT_EQ(Pop("script://echo/facade", *ticket)->url, "script://echo/facade");
    // The thread is free again at once.
    const auto again = Push("script://echo/facade-again", true, pid(), {});
    EXPECT_EQ(Pop("script://echo/facade-again", *again)->url, "script://echo/facade-again");
}

TEST_F(FacadeTest, DownServerGivesTheEmptyTicketAndNoEntry) {
    const unsigned long gone = pid();
    ASSERT_EQ(server->Stop(SIGTERM), 0);
    for (const auto& [wait, serverPid] : std::vector<std::pair<bool, unsigned long>>{{false, gone}, {true, 0}}) {
        LogCapture root;
        const std::string url = "script://echo/down-" + std::to_string(serverPid);
        EXPECT_EQ(*Push(url, wait, serverPid, {}), "");
        EXPECT_TRUE(root.Contains("Push: " + url + " Exception: Server stop serve request.")) << url;
        EXPECT_EQ(PopError(url, ""), "This thread have not added into blocker yet.");
    }
}

TEST_F(FacadeTest, PushGoesOnWhenTheServerComesUpDuringTheWait) {
    TimeLimits limits;
    limits.serverPollMs = 50;
    ScopedTimeLimits shortened(limits);
    ServerProcess::Options late;
    late.startDelayMs = 400;
    late.waitReady = false;
    ServerProcess lateServer(late);
    const auto ticket = Push("script://echo/late", true, static_cast<unsigned long>(lateServer.pid()), {});
    ASSERT_FALSE(ticket->empty());
    EXPECT_EQ(Pop("script://echo/late", *ticket)->url, "script://echo/late");
    lateServer.WaitReady();
}

TEST_F(FacadeTest, ServerThatNeverComesUpEndsInTimeout) {
    TimeLimits limits;
    limits.serverPollMs = 10;
    limits.serverPolls = 5;
    ScopedTimeLimits shortened(limits);
    LogCapture root;
    EXPECT_EQ(*Push("script://echo/never-up", true, 999999999ul, {}), "");
    EXPECT_TRUE(root.InOrder({"Wait for server (999999999) failed.", "Push: script://echo/never-up TIMEOUT",
                              "~ClientRAII", "Blocker::Remove: NOT IN BLOCKER? "}));
    EXPECT_EQ(root.Count("Client::IsServerOK (PID: 999999999) => FALSE"), 5);
}

TEST_F(FacadeTest, SecondPushWithoutPopFailsAndDropsTheFirst) {
    LogCapture root;
    const auto first = Push("script://echo/first", true, pid(), {});
    ASSERT_FALSE(first->empty());
    EXPECT_EQ(*Push("script://echo/second", true, pid(), {}), "");
    EXPECT_TRUE(root.Contains("Push: script://echo/second Exception: This thread has been added into blocker."));
    EXPECT_EQ(PopError("script://echo/first", *first), "This thread have not added into blocker yet.");
    EXPECT_TRUE(ShmEntriesContaining(*first).empty()) << "the first client was released";
}

TEST_F(FacadeTest, PopWithoutEntryWritesTheGuardsRecordsThenRaises) {
    LogCapture root;
    EXPECT_EQ(PopError("script://echo/none", "x"), "This thread have not added into blocker yet.");
    EXPECT_TRUE(root.InOrder({"~ClientRAII", "Blocker::Remove: NOT IN BLOCKER? ",
                              "Pop: exception: This thread have not added into blocker yet."}));
}

TEST_F(FacadeTest, PopThatTimesOutReleasesTheEntry) {
    TimeLimits limits;
    limits.sliceMs = 100;
    limits.slices = 2;
    ScopedTimeLimits shortened(limits);
    LogCapture root;
    const auto ticket = Push("script://silent/facade", true, pid(), {});
    ASSERT_FALSE(ticket->empty());
    EXPECT_THROW(Pop("script://silent/facade", *ticket), Tarv::Browser::TimeOutException);
    EXPECT_TRUE(root.InOrder({"~ClientRAII", "Blocker::Remove: OK", "Pop: script://silent/facade TIMEOUT"}));
    EXPECT_TRUE(ShmEntriesContaining(*ticket).empty());
    const auto next = Push("script://echo/after-timeout", true, pid(), {});
    EXPECT_EQ(Pop("script://echo/after-timeout", *next)->url, "script://echo/after-timeout");
}

TEST_F(FacadeTest, MoreThreadsThanTheBoundEachGetTheirOwnPages) {
    constexpr int kThreads = 12, kRounds = 8;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::string url = "script://delay/20/t" + std::to_string(t) + "-" + std::to_string(r);
                const auto ticket = Push(url, true, pid(), {});
                try {
                    if (ticket->empty() || Pop(url, *ticket)->src != "delayed") ++wrong;
                } catch (...) {
                    ++wrong;
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(ShmEntriesContaining("Tarv_" + std::to_string(server->pid()) + "_Ticket_").empty());
}

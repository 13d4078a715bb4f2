// Requests that fail: dead answers, absent, silent, stopped and killed
// servers, a busy request channel, foreign tickets, failing tear-downs.
#include <signal.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <boost/interprocess/sync/named_mutex.hpp>

#include "ClientFixture.hpp"
#include "browser/TimeOutException.hpp"

using namespace Tarv::Testing;
using Tarv::Browser::Client;
using Tarv::Browser::TimeLimits;
using Tarv::Browser::TimeOutException;
namespace bip = boost::interprocess;

namespace {

// Runs `call`, expecting std::runtime_error (or a subclass) with `text`.
template <class Call>
void ExpectErrorText(Call call, const std::string& text) {
    try {
        call();
        ADD_FAILURE() << "no error, expected \"" << text << "\"";
    } catch (const TimeOutException& e) {
        EXPECT_EQ(std::string(e.what()), text);
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
}

TimeLimits Shortened(int sliceMs, int slices) {
    TimeLimits limits;
    limits.sliceMs = sliceMs;
    limits.slices = slices;
    limits.requestLockMs = 300;
    return limits;
}

}  // namespace

TEST_F(ClientTest, DeadResultFailsWithTwoErrorRecordsAndRemovesTheTicket) {
    LogCapture log("Client");
    auto client = MakeClient("script://dead");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    ExpectErrorText([&] { client->GetResponse(ticket); }, "Server sent dead result.");
    EXPECT_TRUE(log.InOrder({"Client::GetResponse => script://dead (" + ticket + ") (DEAD)",
                             "GetResponse: script://dead(" + ticket + ") => Exception: Server sent dead result.",
                             "Client::Destory => script://dead"}));
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
}

TEST_F(ClientTest, ServerDownAtEntryCreatesNothing) {
    const long pid = server->pid();
    ASSERT_EQ(server->Stop(SIGTERM), 0);
    LogCapture log("Client");
    Client client("script://echo/down", static_cast<std::int32_t>(pid));
    client.Init();
    const std::string ticket = client.Ticket();
    ExpectErrorText([&] { client.SendRequest(DefaultOptions()); }, "Server stop serve request.");
    EXPECT_TRUE(log.InOrder({"Client::SendRequest => script://echo/down (" + ticket + ")",
                             "Client::IsServerOK (PID: " + std::to_string(pid) + ") => FALSE",
                             "SendRequst: script://echo/down(" + ticket + ") => Exception: Server stop serve request.",
                             "Client::Destory => script://echo/down"}));
    EXPECT_TRUE(ShmEntriesContaining("_" + std::to_string(pid) + "_").empty());
}

TEST_F(ClientTest, CrashedServerIsNotTakenForAlive) {
    // The crash leaves the ready mutex behind; its process is gone.
    auto crasher = MakeClient("script://crash");
    crasher->SendRequest(DefaultOptions());
    const long pid = server->pid();
    server->Stop(0);  // no signal: only reaps the crashed server
    ASSERT_FALSE(ShmEntriesContaining("Tarv_Browser_" + std::to_string(pid) + "_Ready").empty());
    LogCapture log("Client");
    EXPECT_FALSE(crasher->IsServerOK());
    EXPECT_TRUE(log.Contains("Client::IsServerOK (PID: " + std::to_string(pid) + ") => FALSE"));
    ExpectErrorText([&] { MakeClient("script://echo/after-crash")->SendRequest(DefaultOptions()); },
                    "Server stop serve request.");
}

TEST_F(ClientTest, SilentServerTimesOutAfterTheLastSlice) {
    ScopedTimeLimits limits(Shortened(200, 3));
    LogCapture log("Client");
    auto client = MakeClient("script://silent");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    ExpectErrorText([&] { client->GetResponse(ticket); }, "TIMEOUT");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(log.Count("Client::GetResponse TIMEOUT => script://silent(" + ticket + ")(" + std::to_string(i) + ")"),
                  1);
    EXPECT_FALSE(log.Contains("Client::GetResponse TIMEOUT => script://silent(" + ticket + ")(3)"));
    EXPECT_TRUE(log.Contains("GetResponse: TIMEOUT script://silent(" + ticket + ")"));
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
}

TEST_F(ClientTest, AnswerAfterAFewSlicesIsCollected) {
    ScopedTimeLimits limits(Shortened(200, 20));
    LogCapture log("Client");
    auto client = MakeClient("script://delay/700");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    EXPECT_EQ(client->GetResponse(ticket)->src, "delayed");
    EXPECT_TRUE(log.Contains("Client::GetResponse TIMEOUT => script://delay/700(" + ticket + ")(0)"));
}

TEST_F(ClientTest, ServerStoppedWhileWaitingEndsInServerTerminated) {
    ScopedTimeLimits limits(Shortened(300, 20));
    auto client = MakeClient("script://silent");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    auto stopper = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return server->Stop(SIGTERM);
    });
    ExpectErrorText([&] { client->GetResponse(ticket); }, "Server terminated.");
    EXPECT_EQ(stopper.get(), 0);
}

// The one test on the real 15-second slice.
TEST_F(ClientTest, ServerKilledWhileWaitingEndsInServerTerminatedAfterOneSlice) {
    LogCapture log("Client");
    auto client = MakeClient("script://silent/killed");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    const long pid = server->pid();
    auto killer = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server->Kill();
    });
    const auto start = std::chrono::steady_clock::now();
    ExpectErrorText([&] { client->GetResponse(ticket); }, "Server terminated.");
    const auto waited = std::chrono::steady_clock::now() - start;
    killer.get();
    EXPECT_LT(waited, std::chrono::seconds(25)) << "more than one slice";
    EXPECT_TRUE(log.InOrder({"Client::GetResponse TIMEOUT => script://silent/killed(" + ticket + ")(0)",
                             "Client::IsServerOK (PID: " + std::to_string(pid) + ") => FALSE",
                             "Client::GetResponse => script://silent/killedServer terminated (" + std::to_string(pid) + ")",
                             "GetResponse: script://silent/killed(" + ticket + ") => Exception: Server terminated."}));
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
}

TEST_F(ClientTest, BusyRequestChannelTimesOutAndQueuesNothing) {
    ScopedTimeLimits limits(Shortened(200, 3));
    const std::string requestName = "Tarv_Browser_" + std::to_string(server->pid()) + "_Request";
    bip::named_mutex channelMutex(bip::open_only, (requestName + "_Channel_Mutex").c_str());
    Tarv::Browser::Segment requests(bip::open_only, requestName.c_str());
    auto* list = requests.find<Client::RequestChannel::List>(requestName.c_str()).first;
    ASSERT_NE(list, nullptr);

    LogCapture log("Client");
    auto client = MakeClient("script://echo/busy");
    const std::string ticket = client->Ticket();
    channelMutex.lock();
    try {
        ExpectErrorText([&] { client->SendRequest(DefaultOptions()); }, "TIMEOUT");
        EXPECT_TRUE(list->empty());
    } catch (...) {
        channelMutex.unlock();
        throw;
    }
    channelMutex.unlock();
    EXPECT_TRUE(log.Contains("SendRequst: TIMEOUT script://echo/busy(" + ticket + ")"));
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
    EXPECT_EQ(RoundTrip("script://echo/after-busy")->url, "script://echo/after-busy");
}

TEST_F(ClientTest, ForeignTicketIsRefusedAndLeavesTheOtherRequestAlone) {
    auto mine = MakeClient("script://delay/200/mine");
    auto other = MakeClient("script://delay/200/other");
    mine->SendRequest(DefaultOptions());
    const std::string otherTicket = *other->SendRequest(DefaultOptions());
    LogCapture log("Client");
    EXPECT_THROW(mine->GetResponse(otherTicket), std::invalid_argument);
    EXPECT_EQ(other->GetResponse(otherTicket)->url, "script://delay/200/other");
}

TEST_F(ClientTest, DestoryWithoutSubmissionOnlyWritesItsRecord) {
    LogCapture log("Client");
    auto client = MakeClient("script://echo/never");
    client->Destory();
    client->Destory();
    EXPECT_EQ(log.Count("Client::Destory => script://echo/never"), 2);
    EXPECT_FALSE(TicketObjectsLeft());
}

TEST_F(ClientTest, FailingTearDownIsContainedAndStillRemovesTheTicketSegment) {
    auto client = MakeClient("script://silent/teardown");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    bip::named_mutex::remove((ticket + "_Channel_Mutex").c_str());
    LogCapture log("Client");
    client.reset();
    bool recorded = false;
    for (const auto& line : log.Lines()) recorded |= line.rfind("ERROR ~Client Exception: ", 0) == 0;
    EXPECT_TRUE(recorded);
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
}

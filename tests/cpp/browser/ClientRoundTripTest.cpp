// Requests that reach the server and come back.
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "ClientFixture.hpp"

using namespace Tarv::Testing;
using Tarv::Browser::Client;

TEST_F(ClientTest, RoundTripCarriesTheNineOptionsAsText) {
    auto options = DefaultOptions();
    options["keep"] = -1;
    options["lumo"] = true;
    options["post"] = std::string("a=1&b=2");
    options["cookie"] = std::string("k=v");
    const auto result = RoundTrip("script://echo/options", options);
    EXPECT_EQ(result->url, "script://echo/options");
    EXPECT_EQ(result->src,
              "cookie=k=v\ncoordinate=0\ndelay=100\ndisable=\nkeep=-1\nlumo=1\npost=a=1&b=2\nscript=\nsnapshot=1\n");
    EXPECT_FALSE(TicketObjectsLeft());
}

TEST_F(ClientTest, SuccessfulExchangeWritesItsRecordsAndReleaseRemovesTheTicket) {
    LogCapture log("Client");
    auto client = MakeClient("script://echo/records");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    EXPECT_EQ(ShmEntriesContaining(ticket).size(), 3u) << "segment, mutex and condition of the ticket";
    const auto result = client->GetResponse(ticket);
    EXPECT_EQ(result->lastModified, "echo");
    EXPECT_TRUE(log.InOrder({"Client::SendRequest => script://echo/records (" + ticket + ")",
                             "Client::GetResponse => script://echo/records (" + ticket + ")"}));
    EXPECT_EQ(log.Count("Client::GetResponse => script://echo/records (" + ticket + ")"), 2) << "DEBUG then INFO";
    client.reset();
    EXPECT_TRUE(ShmEntriesContaining(ticket).empty());
    EXPECT_TRUE(log.Contains("~Client"));
}

TEST_F(ClientTest, MegabyteSnapshotArrivesWithEveryByte) {
    const auto result = RoundTrip("script://snapshot/1000000");
    ASSERT_EQ(result->snapshot.size(), 1000000u);
    for (std::size_t i = 0; i < result->snapshot.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(result->snapshot[i]), i % 251) << "byte " << i;
}

TEST_F(ClientTest, UrlAndSourceAreCutAtTheirFirstNul) {
    const auto result = RoundTrip("script://nul");
    EXPECT_EQ(result->url, "script://nul");
    EXPECT_EQ(result->src, "before");
}

TEST_F(ClientTest, OnlyExactlyDeadMarksADeadResult) {
    for (const std::string text : {"dead", "DEAD ", "DEADLINE"}) {
        const auto result = RoundTrip("script://lastmodified/" + text);
        EXPECT_EQ(result->lastModified, text);
    }
}

TEST_F(ClientTest, SixteenThreadsEachGetTheirOwnPage) {
    constexpr int kThreads = 16, kRounds = 10;
    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::string url = "script://echo/thread-" + std::to_string(t) + "-" + std::to_string(r);
                try {
                    if (RoundTrip(url)->url != url) ++mismatches[t];
                } catch (...) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_FALSE(TicketObjectsLeft());
}

TEST_F(ClientTest, TicketObjectsAreOwnerOnly) {
    auto client = MakeClient("script://silent/modes");
    const std::string ticket = *client->SendRequest(DefaultOptions());
    const auto entries = ShmEntriesContaining(ticket);
    ASSERT_EQ(entries.size(), 3u);
    for (const std::string& name : entries) {
        struct stat info;
        ASSERT_EQ(stat(("/dev/shm/" + name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
}

// Ticket naming.
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "browser/Client.hpp"
#include "browser/detail/Tickets.hpp"

using Tarv::Browser::Client;
using Tarv::Browser::detail::CombineHash;

TEST(TicketTest, UrlHashFollowsTheCombineFormula) {
    EXPECT_EQ(CombineHash(""), 0u);
    EXPECT_EQ(CombineHash("a"), 97u + 0x9e3779b9u);
    // A byte above 127 is taken as a negative signed char.
    const std::uint64_t high = static_cast<std::uint64_t>(-1) + 0x9e3779b9ULL;
    EXPECT_EQ(CombineHash("\xff"), high);
    // Long texts reach hashes with the top bit set, printed with a minus sign
    // in the seed text.
    bool topBit = false;
    for (int i = 0; i < 64 && !topBit; ++i) topBit = (CombineHash(std::string(i, 'x')) >> 63) != 0;
    EXPECT_TRUE(topBit);
}

TEST(TicketTest, TicketHasTheProtocolFormWithoutSignOrLeadingZeros) {
    Client client("http://example.test/", 4242);
    client.Init();
    EXPECT_TRUE(std::regex_match(client.Ticket(), std::regex("Tarv_4242_Ticket_(0|[1-9][0-9]*)")));
    const unsigned long long number = std::stoull(client.Ticket().substr(std::string("Tarv_4242_Ticket_").size()));
    EXPECT_LE(number, 4294967295ull);
}

TEST(TicketTest, TenThousandTicketsFromEightThreadsForOneUrlAreDistinct) {
    constexpr int kThreads = 8, kPerThread = 1250;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::unique_ptr<Client>> keep[kThreads];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                keep[t].push_back(std::make_unique<Client>("http://same.test/", 4242));
                keep[t].back()->Init();
                names[t].push_back(keep[t].back()->Ticket());
            }
        });
    for (auto& thread : threads) thread.join();
    std::set<std::string> distinct;
    for (const auto& list : names) distinct.insert(list.begin(), list.end());
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

// Leftovers of crashed processes: what the server's start and --reap remove,
// and what they never touch.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <boost/interprocess/managed_shared_memory.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <gtest/gtest.h>

#include "server/ServerChild.hpp"
#include "support/ShmNames.hpp"

namespace Tarv {
namespace Testing {
namespace {

using namespace std::chrono_literals;
namespace bip = boost::interprocess;

// The id of a process that has ended and been reaped.
long DeadPid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return static_cast<long>(child);
}

// A plain shared-memory object in /dev/shm, mapped by nobody.
void Plant(const std::string& name) {
    bip::shared_memory_object object(bip::create_only, name.c_str(), bip::read_write);
    object.truncate(4096);
}

bool Exists(const std::string& name) { return !ShmEntriesContaining(name).empty(); }

class ReaperTest : public ::testing::Test {
protected:
    void SetUp() override {
        dead = std::to_string(DeadPid());
        live = std::to_string(static_cast<long>(getpid()));
        deadServer = "Tarv_Browser_" + dead + "_Request";
        deadTicket = "Tarv_" + dead + "_Ticket_17";
        // A ticket of a live process id (this test's) whose client is gone...
        orphanTicket = "Tarv_" + live + "_Ticket_23";
        // ...and one still held by a client (this test maps it).
        heldTicket = "Tarv_" + live + "_Ticket_29";
        Plant(deadServer);
        Plant(deadTicket);
        Plant(deadTicket + "_Channel_Condition");
        Plant(orphanTicket);
        Plant(orphanTicket + "_Channel_Condition");
        held = std::make_unique<bip::managed_shared_memory>(bip::create_only, heldTicket.c_str(), 65536);
        Plant(heldTicket + "_Channel_Condition");
        // A client still waiting on a ticket of a server that died.
        heldDeadTicket = "Tarv_" + dead + "_Ticket_31";
        heldDead = std::make_unique<bip::managed_shared_memory>(bip::create_only, heldDeadTicket.c_str(), 65536);
    }
    void TearDown() override {
        held.reset();
        heldDead.reset();
        for (const std::string& fragment : {"Tarv_Browser_" + dead + "_", "Tarv_" + dead + "_Ticket_", orphanTicket,
                                            heldTicket})
            RemoveShmEntriesContaining(fragment);
    }

    std::string dead, live, deadServer, deadTicket, orphanTicket, heldTicket, heldDeadTicket;
    std::unique_ptr<bip::managed_shared_memory> held, heldDead;
};

TEST_F(ReaperTest, StartRemovesObjectsOfDeadProcessesOnly) {
    {
        ServerChild server{ServerChild::Launch()};
        EXPECT_FALSE(Exists(deadServer));
        EXPECT_FALSE(Exists(deadTicket));
        EXPECT_TRUE(Exists(orphanTicket)) << "a live process id: left to --reap";
        EXPECT_TRUE(Exists(heldTicket));
        EXPECT_TRUE(Exists(heldDeadTicket)) << "its server is gone, but a client still maps it";
        EXPECT_TRUE(server.WaitForLog("removed leftover " + deadServer, 5000ms));
    }
}

TEST_F(ReaperTest, ReapAlsoRemovesTicketsNoProcessMaps) {
    std::string output;
    const int status = RunServerToEnd({"--reap"}, 10000ms, output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    for (const std::string& gone : {deadServer, deadTicket, deadTicket + "_Channel_Condition", orphanTicket,
                                    orphanTicket + "_Channel_Condition"}) {
        EXPECT_FALSE(Exists(gone)) << gone;
        EXPECT_NE(output.find(gone + "\n"), std::string::npos) << gone << " not reported in:\n" << output;
    }
    EXPECT_TRUE(Exists(heldTicket)) << "mapped by this process";
    EXPECT_TRUE(Exists(heldDeadTicket)) << "mapped by this process, though its server is gone";
    EXPECT_TRUE(Exists(heldTicket + "_Channel_Condition")) << "its ticket is in use";
}

}  // namespace
}  // namespace Testing
}  // namespace Tarv

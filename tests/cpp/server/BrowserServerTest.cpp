// browser-server as a child process, driven through the raw protocol.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <gtest/gtest.h>

#include "browser/Protocol.hpp"
#include "server/RawClient.hpp"
#include "server/ServerChild.hpp"
#include "support/ShmNames.hpp"

namespace Tarv {
namespace Testing {
namespace {

using namespace std::chrono_literals;
namespace bip = boost::interprocess;

constexpr auto kAnswerLimit = 10000ms;  // generous: answers normally take milliseconds
constexpr auto kNoAnswerLimit = 300ms;  // how long "no answer" is watched for
constexpr auto kExitLimit = 15000ms;    // the server's own drain limit is 10 s

std::string ReadyName(long pid) { return "Tarv_Browser_" + std::to_string(pid) + "_Ready"; }

bool ReadyMutexExists(long pid) {
    try {
        bip::named_mutex ready(bip::open_only, ReadyName(pid).c_str());
        return true;
    } catch (const bip::interprocess_exception&) {
        return false;
    }
}

ServerChild::Launch WithArgs(std::vector<std::string> args) {
    ServerChild::Launch launch;
    launch.args = std::move(args);
    return launch;
}

class BrowserServerTest : public ::testing::Test {
protected:
    void Start(const ServerChild::Launch& launch = ServerChild::Launch()) {
        server_ = std::make_unique<ServerChild>(launch);
        pid_ = server_->Pid();
        ASSERT_TRUE(ReadyMutexExists(pid_)) << "the pid line came before the ready mutex";
    }

    void TearDown() override {
        if (!server_) return;
        const std::string log = server_->Log();
        server_.reset();  // kills and reaps a running server, removes its objects
        EXPECT_TRUE(ShmEntriesContaining("Tarv_Browser_" + std::to_string(pid_) + "_").empty());
        EXPECT_TRUE(ShmEntriesContaining("Tarv_" + std::to_string(pid_) + "_Ticket_").empty());
        if (HasFailure()) std::fprintf(stderr, "server log:\n%s\n", log.c_str());
    }

    // Stops the server with `signalNumber` and returns its wait status.
    int StopWith(int signalNumber) {
        server_->Signal(signalNumber);
        int status = -1;
        EXPECT_TRUE(server_->WaitExit(kExitLimit, status)) << "server did not exit";
        return status;
    }

    std::unique_ptr<ServerChild> server_;
    long pid_ = 0;
};

TEST_F(BrowserServerTest, EchoRoundTripCarriesAllNineOptions) {
    Start();
    Browser::RequestOptions options;
    options["snapshot"] = true;
    options["coordinate"] = false;
    options["keep"] = -1;
    options["lumo"] = false;
    options["delay"] = 3000;
    options["post"] = std::string("a=1");
    options["script"] = std::string("go();");
    options["cookie"] = std::string("k=v; x=y");
    options["disable"] = std::string("images");
    const std::string url = "script://echo/all-nine";

    const boost::optional<Answer> answer = RoundTrip(pid_, url, options, kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->url, url);
    EXPECT_EQ(answer->lastModified, "echo");
    EXPECT_EQ(answer->src,
              "cookie=k=v; x=y\ncoordinate=0\ndelay=3000\ndisable=images\nkeep=-1\nlumo=0\npost=a=1\n"
              "script=go();\nsnapshot=1\n");
    EXPECT_TRUE(answer->snapshot.empty());
    EXPECT_FALSE(answer->dead);
}

TEST_F(BrowserServerTest, HandledRequestLeavesNothingInRequestSegment) {
    Start();
    RequestQueue queue(pid_);
    const std::size_t freeAtStart = queue.FreeMemory();
    Browser::RequestOptions options;
    options["post"] = std::string(2000, 'p');  // long enough to live outside the string
    options["cookie"] = std::string("c=1");
    TicketBox ticket(pid_);

    queue.Push("script://echo/" + std::string(300, 'u'), ticket.Name(), options);
    ticket.Open();
    const boost::optional<Answer> answer = ticket.Take(kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->src, "cookie=c=1\npost=" + std::string(2000, 'p') + "\n");
    EXPECT_FALSE(queue.HasOptionMap(ticket.Name()));
    EXPECT_EQ(queue.FreeMemory(), freeAtStart);
}

struct ScriptCase {
    const char* url;
    bool dead;
    const char* lastModified;
    std::string src;
};

TEST_F(BrowserServerTest, ScriptUrlsChooseTheAnswer) {
    Start();
    const std::vector<ScriptCase> cases = {
        {"script://dead", true, "DEAD", ""},
        {"script://dead/extra", true, "DEAD", ""},
        {"script://no-such-script", true, "DEAD", ""},
        {"script://snapshot/6000000", true, "DEAD", ""},  // larger than the ticket segment
        {"script://snapshot/5033000", true, "DEAD", ""},  // just short of it: no room left
        {"script://delay/30/worker-3", false, "delay", "delayed"},
        {"script://size/4096", false, "size", std::string(4096, 'x')},
        {"script://size/0", false, "size", ""},
        {"script://lastmodified/dead", false, "dead", "lastmodified"},
        {"script://lastmodified/DEAD ", false, "DEAD ", "lastmodified"},
        {"script://lastmodified/DEADLINE/x", false, "DEADLINE", "lastmodified"},
    };
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(c.url);
        const boost::optional<Answer> answer = RoundTrip(pid_, c.url, Browser::RequestOptions(), kAnswerLimit);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->dead, c.dead);
        EXPECT_EQ(answer->lastModified, c.lastModified);
        EXPECT_EQ(answer->src, c.src);
        EXPECT_EQ(answer->url, c.dead ? std::string() : std::string(c.url));
        EXPECT_TRUE(answer->snapshot.empty());
    }
    EXPECT_TRUE(server_->WaitForLog("unknown script", 1000ms));
    EXPECT_TRUE(server_->WaitForLog("does not fit", 1000ms));
}

TEST_F(BrowserServerTest, MillionByteSnapshotArrivesIntact) {
    Start();
    const boost::optional<Answer> answer =
        RoundTrip(pid_, "script://snapshot/1000000", Browser::RequestOptions(), kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->src, "snapshot");
    ASSERT_EQ(answer->snapshot.size(), 1000000u);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < answer->snapshot.size(); ++i)
        if (static_cast<unsigned char>(answer->snapshot[i]) != i % 251) ++wrong;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(answer->snapshot[251], '\0');
}

TEST_F(BrowserServerTest, EmbeddedNulSurvivesInServerRecord) {
    Start();
    const boost::optional<Answer> answer = RoundTrip(pid_, "script://nul", Browser::RequestOptions(), kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->url, std::string("script://nul\0tail", 17));
    EXPECT_EQ(answer->src, std::string("before\0after", 12));
}

TEST_F(BrowserServerTest, TicketCreatedLateIsStillAnswered) {
    Start();
    RequestQueue queue(pid_);
    TicketBox ticket(pid_);

    queue.Push("script://echo/late", ticket.Name());
    std::this_thread::sleep_for(300ms);
    ticket.Open();
    const boost::optional<Answer> answer = ticket.Take(kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->url, "script://echo/late");
}

TEST_F(BrowserServerTest, TicketThatNeverAppearsIsDroppedAndServerKeepsServing) {
    Start(WithArgs({"--engine", "script", "--workers", "2"}));
    RequestQueue queue(pid_);
    TicketBox never(pid_);  // named, never opened
    queue.Push("script://echo/orphan", never.Name());

    // The other worker serves meanwhile; once the orphan is dropped, both do.
    const boost::optional<Answer> meanwhile =
        RoundTrip(pid_, "script://echo/meanwhile", Browser::RequestOptions(), kAnswerLimit);
    ASSERT_TRUE(meanwhile);
    ASSERT_TRUE(server_->WaitForLog("ticket did not appear", 10000ms));
    EXPECT_NE(server_->Log().find(never.Name()), std::string::npos);
    for (const char* url : {"script://echo/after-1", "script://echo/after-2"}) {
        const boost::optional<Answer> after = RoundTrip(pid_, url, Browser::RequestOptions(), kAnswerLimit);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->url, url);
    }
}

// A ticket segment whose creator died between creating and initialising it:
// opening it open-only would wait for good.
TEST_F(BrowserServerTest, HalfMadeTicketIsDroppedWithoutHangingAWorker) {
    Start(WithArgs({"--engine", "script", "--workers", "1"}));
    RequestQueue queue(pid_);
    TicketBox halfMade(pid_);  // named; planted below, never initialised
    {
        bip::shared_memory_object planted(bip::create_only, halfMade.Name().c_str(), bip::read_write);
        planted.truncate(static_cast<bip::offset_t>(Browser::Protocol::kTicketSegmentSize));
    }
    queue.Push("script://echo/half-made", halfMade.Name());
    ASSERT_TRUE(server_->WaitForLog("not initialised", 10000ms)) << server_->Log();
    // The only worker is free again.
    const boost::optional<Answer> after = RoundTrip(pid_, "script://echo/after-half-made", Browser::RequestOptions(),
                                                    kAnswerLimit);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->url, "script://echo/after-half-made");
    bip::shared_memory_object::remove(halfMade.Name().c_str());
}

// The mode of each of the server's named objects, as /dev/shm shows them.
std::vector<unsigned> ServerObjectModes(long pid) {
    std::vector<unsigned> modes;
    for (const std::string& name : ShmEntriesContaining("Tarv_Browser_" + std::to_string(pid) + "_")) {
        struct stat info;
        if (stat(("/dev/shm/" + name).c_str(), &info) == 0) modes.push_back(info.st_mode & 0777);
    }
    return modes;
}

TEST_F(BrowserServerTest, NamedObjectsAreOwnerOnlyUnlessGroupAccessIsAsked) {
    for (const auto& [args, mode] : std::vector<std::pair<std::vector<std::string>, unsigned>>{
             {{"--engine", "script"}, 0600u}, {{"--engine", "script", "--group-access"}, 0660u}}) {
        Start(WithArgs(args));
        const std::vector<unsigned> modes = ServerObjectModes(pid_);
        EXPECT_EQ(modes.size(), 4u) << "ready mutex, request segment, its mutex and condition";
        for (unsigned m : modes) EXPECT_EQ(m, mode);
        TearDown();
        server_.reset();
    }
}

TEST_F(BrowserServerTest, ManyRequestsQueuedAtOnceAreAllAnswered) {
    Start(WithArgs({"--engine", "script", "--workers", "4"}));
    RequestQueue queue(pid_);
    constexpr int kRequests = 60;
    std::vector<std::unique_ptr<TicketBox>> tickets;
    std::vector<std::pair<std::string, std::string>> requests;
    for (int i = 0; i < kRequests; ++i) {
        tickets.push_back(std::make_unique<TicketBox>(pid_));
        tickets.back()->Open();
        requests.emplace_back("script://delay/20/" + std::to_string(i), tickets.back()->Name());
    }

    queue.PushAll(requests);  // one lock hold, one wake-up for all of them

    for (int i = 0; i < kRequests; ++i) {
        const boost::optional<Answer> answer = tickets[i]->Take(kAnswerLimit);
        ASSERT_TRUE(answer) << "request " << i << " was not answered";
        EXPECT_EQ(answer->url, requests[i].first);
    }
}

TEST_F(BrowserServerTest, SilentRequestDoesNotBlockTheWorker) {
    Start(WithArgs({"--engine", "script", "--workers", "1"}));
    RequestQueue queue(pid_);
    TicketBox silent(pid_);
    silent.Open();
    queue.Push("script://silent", silent.Name());

    const boost::optional<Answer> next = RoundTrip(pid_, "script://echo/next", Browser::RequestOptions(), kAnswerLimit);

    ASSERT_TRUE(next);
    EXPECT_EQ(next->url, "script://echo/next");
    EXPECT_FALSE(silent.Take(kNoAnswerLimit));
}

TEST_F(BrowserServerTest, EngineTimeOutBecomesDeadResult) {
    Start(WithArgs({"--engine", "script", "--workers", "1", "--engine-timeout", "200"}));
    const boost::optional<Answer> answer =
        RoundTrip(pid_, "script://delay/5000", Browser::RequestOptions(), kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->dead);
    EXPECT_TRUE(server_->WaitForLog("engine time-out", 1000ms));
}

TEST_F(BrowserServerTest, StopSignalFinishesRequestInFlightThenRemovesEverything) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        Start(WithArgs({"--engine", "script", "--workers", "1"}));
        {
            RequestQueue queue(pid_);
            TicketBox ticket(pid_);
            ticket.Open();
            queue.Push("script://delay/1000", ticket.Name());
            ASSERT_TRUE(queue.WaitTaken(ticket.Name(), kAnswerLimit));

            server_->Signal(signalNumber);
            const auto deadline = std::chrono::steady_clock::now() + 900ms;
            while (ReadyMutexExists(pid_) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(2ms);
            EXPECT_FALSE(ReadyMutexExists(pid_)) << "still accepting while finishing";
            const boost::optional<Answer> answer = ticket.Take(kAnswerLimit);
            ASSERT_TRUE(answer) << "request in flight was not finished";
            EXPECT_EQ(answer->src, "delayed");
        }
        int status = -1;
        ASSERT_TRUE(server_->WaitExit(kExitLimit, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_TRUE(server_->Leftovers().empty());
        TearDown();
    }
}

TEST_F(BrowserServerTest, QueuedUnansweredRequestDoesNotBlockExit) {
    Start(WithArgs({"--engine", "script", "--workers", "1"}));
    RequestQueue queue(pid_);
    TicketBox busy(pid_);
    TicketBox waiting(pid_);
    busy.Open();
    waiting.Open();
    queue.Push("script://delay/300", busy.Name());
    ASSERT_TRUE(queue.WaitTaken(busy.Name(), kAnswerLimit));
    queue.Push("script://echo/queued", waiting.Name());

    const int status = StopWith(SIGTERM);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(busy.Take(kNoAnswerLimit));
    EXPECT_FALSE(waiting.Take(kNoAnswerLimit));
    EXPECT_TRUE(ShmEntriesContaining("Tarv_Browser_" + std::to_string(pid_) + "_").empty());
}

TEST_F(BrowserServerTest, RequestStillBusyAtTheDrainLimitDoesNotHoldExit) {
    Start(WithArgs({"--engine", "script", "--workers", "1"}));
    RequestQueue queue(pid_);
    TicketBox ticket(pid_);
    ticket.Open();
    queue.Push("script://delay/40000", ticket.Name());
    ASSERT_TRUE(queue.WaitTaken(ticket.Name(), kAnswerLimit));

    const int status = StopWith(SIGTERM);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_NE(server_->Log().find("still busy"), std::string::npos);
    EXPECT_TRUE(ShmEntriesContaining("Tarv_Browser_" + std::to_string(pid_) + "_").empty());
}

TEST_F(BrowserServerTest, CrashLeavesNamedObjectsBehind) {
    Start();
    {
        RequestQueue queue(pid_);
        TicketBox ticket(pid_);
        queue.Push("script://crash", ticket.Name());
        ticket.Open();
        int status = -1;
        ASSERT_TRUE(server_->WaitExit(kExitLimit, status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "status " << status;
    }
    const std::string prefix = "Tarv_Browser_" + std::to_string(pid_);
    const std::vector<std::string> left = server_->Leftovers();
    for (const std::string& name : {"sem." + prefix + "_Ready", prefix + "_Request",
                                    "sem." + prefix + "_Request_Channel_Mutex", prefix + "_Request_Channel_Condition"})
        EXPECT_NE(std::find(left.begin(), left.end(), name), left.end()) << name << " is gone";
    server_->RemoveLeftovers();
    EXPECT_TRUE(server_->Leftovers().empty());
}

TEST_F(BrowserServerTest, StartReplacesStaleObjectsOfItsNames) {
    ServerChild::Launch launch;
    launch.plantStaleObjects = true;
    Start(launch);

    const boost::optional<Answer> answer =
        RoundTrip(pid_, "script://echo/fresh", Browser::RequestOptions(), kAnswerLimit);

    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->url, "script://echo/fresh");
    EXPECT_EQ(WEXITSTATUS(StopWith(SIGTERM)), 0);
}

TEST(BrowserServerCommandLine, HelpExitsZeroAndListsEveryFlag) {
    std::string output;
    const int status = RunServerToEnd({"--help"}, 10000ms, output);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    for (const char* flag : {"--engine", "--workers", "--segment-size", "--engine-timeout", "--log-level", "--group-access",
                             "--reap", "--help"})
        EXPECT_NE(output.find(flag), std::string::npos) << flag << " missing from:\n" << output;
}

TEST(BrowserServerCommandLine, BadCommandLineIsRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--engine", "no-such-engine"},
        {"--engine", "script", "--workers", "0"},
        {"--engine", "script", "--segment-size", "100"},
        {"--engine", "script", "--log-level", "LOUD"},
        {"--engine", "script", "--no-such-flag"},
    };
    for (const std::vector<std::string>& args : bad) {
        std::string output;
        const int status = RunServerToEnd(args, 10000ms, output);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2)
            << "status " << status << " for " << (args.size() > 1 ? args[1] + " " + args.back() : "no args");
        EXPECT_TRUE(output.empty()) << "printed: " << output;
    }
}

}  // namespace
}  // namespace Testing
}  // namespace Tarv

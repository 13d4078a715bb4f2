// The render engine's parts that need no Chromium: reading the options, the
// DevTools pipe against a forked peer that speaks its framing, the repairs
// and encodings of the wire, and the result budget in a real ticket segment.
#include <gtest/gtest.h>
#include <log4cplus/initializer.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/interprocess/shared_memory_object.hpp>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "browser/Protocol.hpp"
#include "browser/Records.hpp"
#include "engines/detail/RenderLimits.hpp"
#include "engines/detail/RenderPage.hpp"
#include "engines/detail/RenderPipe.hpp"
#include "interprocess/Append.hpp"
#include "interprocess/Channel.hpp"
#include "interprocess/Segment.hpp"
#include "support/ShmNames.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

using namespace std::chrono_literals;
namespace bip = boost::interprocess;

log4cplus::Initializer logging;
// Writing to a peer that has ended must fail, not end the suite (browser-server ignores SIGPIPE too).
const auto sigpipe = ::signal(SIGPIPE, SIG_IGN);

// --- options ----------------------------------------------------------------

TEST(RenderOptions, MissingOptionsMeanNothingAtAll) {
    const PageOptions options = ReadOptions({});
    EXPECT_FALSE(options.snapshot);
    EXPECT_EQ(options.keep, 0ms);
    EXPECT_EQ(options.delay, 0ms);
    EXPECT_TRUE(options.post.empty() && options.script.empty() && options.cookie.empty());
    EXPECT_TRUE(options.blocked.empty());
}

TEST(RenderOptions, TheClientsTextsAreRead) {
    const PageOptions options = ReadOptions({{"snapshot", "1"},
                                             {"coordinate", "1"},
                                             {"keep", "2000"},
                                             {"lumo", "1"},
                                             {"delay", "-5"},
                                             {"post", "a=1"},
                                             {"script", "go()"},
                                             {"cookie", "k=v"},
                                             {"disable", ""}});
    EXPECT_TRUE(options.snapshot);
    EXPECT_EQ(options.keep, 2000ms);
    EXPECT_EQ(options.delay, 0ms);  // negative counts as none
    EXPECT_EQ(options.post, "a=1");
    EXPECT_EQ(options.script, "go()");
    EXPECT_EQ(options.cookie, "k=v");
}

TEST(RenderOptions, DisableNamesResourceTypesInAnyCaseAndSpacing) {
    const struct {
        const char* disable;
        std::vector<std::string> blocked;
    } cases[] = {
        {"image", {"Image"}},
        {" Image , STYLESHEET,font", {"Image", "Stylesheet", "Font"}},
        {"script,media,,image,image", {"Script", "Media", "Image"}},
        {" , ", {}},
    };
    for (const auto& item : cases)
        EXPECT_EQ(ReadOptions({{"disable", item.disable}}).blocked, item.blocked) << item.disable;
}

TEST(RenderOptions, ValuesTheEngineCannotUseAreRefusedByName) {
    const struct {
        const char* key;
        const char* value;
    } cases[] = {
        {"snapshot", "yes"},   {"keep", "2s"},
        {"delay", "1e3"},      {"keep", "99999999999999999999"},
        {"disable", "images"}, {"disable", "image,document"},
    };
    for (const auto& item : cases) {
        try {
            ReadOptions({{item.key, item.value}});
            ADD_FAILURE() << item.key << "=" << item.value << " was accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(item.key), std::string::npos) << error.what();
        }
    }
}

// --- wire helpers -------------------------------------------------------------

TEST(RenderWire, LoneSurrogateEscapesAreReplacedAndPairsKept) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {R"({"v":"a\ud800b"})", R"({"v":"a\ufffdb"})"},
        {R"({"v":"\udc00"})", R"({"v":"\ufffd"})"},
        {R"({"v":"\ud83d\ude00"})", R"({"v":"\ud83d\ude00"})"},
        {R"({"v":"\ud800\ud800\udc00"})", R"({"v":"\ufffd\ud800\udc00"})"},
        {R"({"v":"\\ud800 \" \u0041"})", R"({"v":"\\ud800 \" \u0041"})"},
    };
    for (const auto& item : cases) {
        const std::string repaired = RepairLoneSurrogates(item.in);
        EXPECT_EQ(repaired, item.out);
        EXPECT_FALSE(Json::parse(repaired, nullptr, false).is_discarded()) << repaired;
    }
    EXPECT_TRUE(Json::parse(R"({"v":"a\ud800b"})", nullptr, false).is_discarded());
}

TEST(RenderWire, Base64RoundTripsAnyBytes) {
    const struct {
        std::string bytes;
        const char* text;
    } cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {std::string("\0\xff\x10", 3), "AP8Q"},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(Base64Encode(item.bytes), item.text);
        EXPECT_EQ(Base64Decode(item.text), item.bytes);
    }
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
    for (const char* bad : {"Zg=", "Z!==", "Zg==Zg=="}) EXPECT_THROW(Base64Decode(bad), std::invalid_argument) << bad;
}

// --- the pipe against a forked peer ----------------------------------------------

// A child process on the far end of the two pipes, speaking DevTools framing:
//   Test.echo      answers {"echo": <params>}
//   Test.fail      answers an error whose message is "refused"
//   Test.event     sends an event "Test.happened" for the command's session
//                  (or Target.detachedFromTarget for it, told to the browser,
//                  when params.detach is true), then answers {}
//   Test.silent    never answers
//   Test.exit      ends the child at once
class Peer {
public:
    Peer() {
        int commands[2], events[2];
        if (::pipe(commands) != 0 || ::pipe(events) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(commands[1]);
            ::close(events[0]);
            Serve(commands[0], events[1]);
        }
        ::close(commands[0]);
        ::close(events[1]);
        pipe_ = std::make_unique<DevToolsPipe>(UniqueFd(commands[1]), UniqueFd(events[0]));
    }
    ~Peer() {
        pipe_.reset();  // closes our ends: the child sees end of file
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_) ::kill(pid_, SIGKILL);
    }
    DevToolsPipe& pipe() { return *pipe_; }

private:
    [[noreturn]] static void Serve(int in, int out) {
        std::string buffer;
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(in, chunk, sizeof chunk);
            if (got <= 0) ::_exit(0);
            buffer.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t end; (end = buffer.find('\0')) != std::string::npos;) {
                const Json command = Json::parse(buffer.substr(0, end));
                buffer.erase(0, end + 1);
                const std::string method = command["method"];
                const std::string session = command.value("sessionId", "");
                Json answer = {{"id", command["id"]}};
                if (!session.empty()) answer["sessionId"] = session;
                if (method == "Test.echo") {
                    answer["result"] = {{"echo", command["params"]}};
                } else if (method == "Test.fail") {
                    answer["error"] = {{"code", -32000}, {"message", "refused"}};
                } else if (method == "Test.event") {
                    Json event;
                    if (command["params"].value("detach", false))
                        event = {{"method", "Target.detachedFromTarget"}, {"params", {{"sessionId", session}}}};
                    else
                        event = {{"method", "Test.happened"}, {"params", {{"n", 1}}}, {"sessionId", session}};
                    Write(out, event.dump());
                    answer["result"] = Json::object();
                } else if (method == "Test.silent") {
                    continue;
                } else if (method == "Test.exit") {
                    ::_exit(0);
                }
                Write(out, answer.dump());
            }
        }
    }
    static void Write(int out, std::string text) {
        text.push_back('\0');
        if (::write(out, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ::_exit(1);
    }

    pid_t pid_ = -1;
    std::unique_ptr<DevToolsPipe> pipe_;
};

PipeClock::time_point Soon() { return PipeClock::now() + 5s; }

TEST(RenderPipe, CallReturnsTheResultOfItsOwnCommand) {
    Peer peer;
    EXPECT_EQ(peer.pipe().Call("Test.echo", {{"x", 1}}, Soon()), Json({{"echo", {{"x", 1}}}}));
    EXPECT_EQ(peer.pipe().Call("Test.echo", Json(), Soon()), Json({{"echo", Json::object()}}));
}

TEST(RenderPipe, AnErrorAnswerThrowsCallFailedNamingTheMethod) {
    Peer peer;
    try {
        peer.pipe().Call("Test.fail", Json::object(), Soon());
        FAIL() << "no error";
    } catch (const CallFailed& failed) {
        EXPECT_STREQ(failed.what(), "Test.fail: refused");
    }
}

TEST(RenderPipe, AnswersGoToTheirSendersAndEventsToTheirSessionsMailbox) {
    Peer peer;
    DevToolsPipe& pipe = peer.pipe();
    const auto first = pipe.OpenMailbox();
    const auto second = pipe.OpenMailbox();
    pipe.Route("S1", first);
    pipe.Route("S2", second);

    const long event = pipe.Send(second, "Test.event", Json::object(), "S2", Soon());
    const long echo = pipe.Send(first, "Test.echo", {{"n", 7}}, "S1", Soon());

    std::optional<Json> got = pipe.Next(*first, Soon());
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["id"], echo);
    got = pipe.Next(*second, Soon());
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["method"], "Test.happened");  // the event comes before the answer
    got = pipe.Next(*second, Soon());
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["id"], event);
    EXPECT_FALSE(pipe.Next(*first, PipeClock::now() + 50ms));
}

TEST(RenderPipe, EventsOfUnroutedSessionsAndAnswersWithoutMailboxAreDropped) {
    Peer peer;
    DevToolsPipe& pipe = peer.pipe();
    const auto box = pipe.OpenMailbox();
    pipe.Route("S", box);
    pipe.Unroute("S");
    pipe.Send(nullptr, "Test.event", Json::object(), "S", Soon());
    pipe.Send(nullptr, "Test.echo", Json::object(), "S", Soon());
    pipe.Call("Test.echo", Json::object(), Soon());  // both came back before this answer
    EXPECT_FALSE(pipe.Next(*box, PipeClock::now() + 50ms));
}

TEST(RenderPipe, TheBrowsersDetachNoticeReachesTheSessionThatWentAway) {
    Peer peer;
    DevToolsPipe& pipe = peer.pipe();
    const auto box = pipe.OpenMailbox();
    pipe.Route("S", box);
    pipe.Send(nullptr, "Test.event", {{"detach", true}}, "S", Soon());
    const std::optional<Json> got = pipe.Next(*box, Soon());
    ASSERT_TRUE(got);
    EXPECT_EQ((*got)["method"], "Target.detachedFromTarget");
}

TEST(RenderPipe, NoAnswerByTheDeadlineIsCallTimeOut) {
    Peer peer;
    const auto started = PipeClock::now();
    EXPECT_THROW(peer.pipe().Call("Test.silent", Json::object(), started + 100ms), CallTimeOut);
    EXPECT_LT(PipeClock::now() - started, 2s);
    EXPECT_FALSE(peer.pipe().Closed());
    EXPECT_NO_THROW(peer.pipe().Call("Test.echo", Json::object(), Soon()));
}

TEST(RenderPipe, APeerThatEndsClosesThePipeForEveryWaiter) {
    Peer peer;
    DevToolsPipe& pipe = peer.pipe();
    const auto box = pipe.OpenMailbox();
    pipe.Send(box, "Test.silent", Json::object(), std::string(), Soon());
    pipe.Send(nullptr, "Test.exit", Json::object(), std::string(), Soon());
    const auto started = PipeClock::now();
    EXPECT_THROW(pipe.Next(*box, started + 5s), PipeClosed);
    EXPECT_LT(PipeClock::now() - started, 4s);
    EXPECT_TRUE(pipe.Closed());
    EXPECT_NE(pipe.WhyClosed().find("closed"), std::string::npos) << pipe.WhyClosed();
    EXPECT_THROW(pipe.Call("Test.echo", Json::object(), Soon()), PipeClosed);
}

// --- the result budget ----------------------------------------------------------

using ResultChannel = Interprocess::Channel<Interprocess::Segment, Browser::ServerResult>;

// Builds and appends a result with texts of these sizes in a ticket segment
// made as the client makes it, its placeholder record included.
bool ResultFits(const std::string& name, std::size_t url, std::size_t src, std::size_t snapshot) {
    bip::shared_memory_object::remove(name.c_str());
    bool fits = true;
    {
        Interprocess::Segment segment(bip::create_only, name.c_str(), Browser::Protocol::kTicketSegmentSize);
        auto channel = ResultChannel::Create(segment, name.c_str());
        ResultChannel::Element placeholder(segment.construct<Browser::ServerResult>(bip::anonymous_instance)(segment),
                                           ResultChannel::Element::deleter_type(segment.get_segment_manager()));
        try {
            ResultChannel::Element record(segment.construct<Browser::ServerResult>(bip::anonymous_instance)(segment),
                                          ResultChannel::Element::deleter_type(segment.get_segment_manager()));
            record->url.assign(std::string(url, 'u').c_str(), url);
            record->lastModified.assign("Wed, 21 Oct 2015 07:28:00 GMT");
            record->src.assign(std::string(src, 's').c_str(), src);
            record->snapshot.assign(std::string(snapshot, 'p').c_str(), snapshot);
            Interprocess::Append(*channel, record, 1000, Interprocess::Wake::One);
        } catch (const bip::bad_alloc&) {
            fits = false;
        }
        ResultChannel::Destroy(segment, name.c_str(), ResultChannel::DummyCallback, 1000);
    }
    bip::shared_memory_object::remove(name.c_str());
    return fits;
}

TEST(RenderBudget, AResultThatFillsTheBudgetFitsInATicketSegment) {
    Testing::ShmCleanup cleanup(Testing::RunPrefix());
    const std::size_t stamp = std::string("Wed, 21 Oct 2015 07:28:00 GMT").size();
    const std::size_t url = 2048;
    const std::size_t rest = Render::kResultBudget - url - stamp;
    EXPECT_TRUE(ResultFits(Testing::UniqueName("budget"), url, rest / 2, rest - rest / 2));
    EXPECT_TRUE(ResultFits(Testing::UniqueName("budget"), url, 0, rest));
    // A result of the whole segment's size does not: the budget is what it must be held to.
    EXPECT_FALSE(ResultFits(Testing::UniqueName("budget"), url, 0, Browser::Protocol::kTicketSegmentSize - url));
}

TEST(RenderBudget, SnapshotRoomIsWhatTheTextsLeave) {
    PageAnswer answer;
    answer.url = std::string(100, 'u');
    answer.lastModified = "stamp";
    answer.src = std::string(1000, 's');
    EXPECT_EQ(SnapshotRoom(answer), Render::kResultBudget - 1105);
    answer.src = std::string(Render::kResultBudget, 's');
    EXPECT_EQ(SnapshotRoom(answer), 0u);
}

}  // namespace
}  // namespace detail
}  // namespace Server
}  // namespace Tarv

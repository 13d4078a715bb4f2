// The script engine in-process: the answer each script URL chooses.
#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/initializer.h>

#include "engines/Engine.hpp"

namespace Tarv {
namespace Server {
namespace {

using namespace std::chrono_literals;

log4cplus::Initializer logging;

PageRequest RequestFor(const std::string& url, std::chrono::milliseconds budget = 5000ms) {
    PageRequest request;
    request.url = url;
    request.ticket = "Tarv_1_Ticket_1";
    request.deadline = Clock::now() + budget;
    return request;
}

PageAnswer Script(const PageRequest& request) { return MakeEngine("script")->Handle(request, 0); }

TEST(ScriptEngine, EchoListsOptionsSortedByKey) {
    PageRequest request = RequestFor("script://echo/x");
    request.options = {{"snapshot", "1"}, {"cookie", "a=b"}, {"delay", "100"}, {"post", ""}};

    const PageAnswer answer = Script(request);

    EXPECT_EQ(answer.src, "cookie=a=b\ndelay=100\npost=\nsnapshot=1\n");
    EXPECT_EQ(answer.url, "script://echo/x");
    EXPECT_EQ(answer.lastModified, "echo");
    EXPECT_FALSE(answer.dead);
}

TEST(ScriptEngine, EchoWithoutOptionsHasEmptySource) {
    const PageAnswer answer = Script(RequestFor("script://echo"));
    EXPECT_EQ(answer.src, "");
    EXPECT_EQ(answer.lastModified, "echo");
}

TEST(ScriptEngine, SnapshotBytesFollowTheirPositionModulo251) {
    const PageAnswer answer = Script(RequestFor("script://snapshot/600/ignored"));

    ASSERT_EQ(answer.snapshot.size(), 600u);
    for (std::size_t i = 0; i < answer.snapshot.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(answer.snapshot[i]), i % 251) << "byte " << i;
    EXPECT_EQ(answer.src, "snapshot");
}

struct RefusedCase {
    const char* url;
    const char* reason;  // part of `why`
};

TEST(ScriptEngine, MalformedOrUnknownScriptsAreDead) {
    const std::vector<RefusedCase> cases = {
        {"script://dead", "script://dead"},
        {"script://whatever", "unknown script"},
        {"script://echoes", "unknown script"},
        {"script://", "unknown script"},
        {"http://example.invalid/", "not a script URL"},
        {"script://snapshot/", "bad snapshot size"},
        {"script://snapshot/12a", "bad snapshot size"},
        {"script://snapshot/99999999999999999999", "bad snapshot size"},
        {"script://size/-1", "bad size"},
        {"script://delay/soon", "bad delay"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.url);
        const PageAnswer answer = Script(RequestFor(c.url));
        EXPECT_TRUE(answer.dead);
        EXPECT_NE(answer.why.find(c.reason), std::string::npos) << answer.why;
    }
}

TEST(ScriptEngine, NulScriptEmbedsNulBytes) {
    const PageAnswer answer = Script(RequestFor("script://nul"));
    EXPECT_EQ(answer.url, std::string("script://nul\0tail", 17));
    EXPECT_EQ(answer.src, std::string("before\0after", 12));
}

TEST(ScriptEngine, DelayAnswersAfterItsTime) {
    const Clock::time_point start = Clock::now();
    const PageAnswer answer = Script(RequestFor("script://delay/30/worker-3"));
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_EQ(answer.src, "delayed");
    EXPECT_FALSE(answer.dead);
}

TEST(ScriptEngine, DelayPastTheDeadlineThrowsEngineTimeOutAtTheDeadline) {
    const Clock::time_point start = Clock::now();
    EXPECT_THROW(Script(RequestFor("script://delay/60000", 50ms)), EngineTimeOut);
    EXPECT_LT(Clock::now() - start, 5000ms);
}

TEST(ScriptEngine, SilentSendsNothing) {
    const PageAnswer answer = Script(RequestFor("script://silent"));
    EXPECT_TRUE(answer.silent);
    EXPECT_FALSE(answer.dead);
}

TEST(ScriptEngine, SizeAndLastModifiedAreTakenFromTheUrl) {
    EXPECT_EQ(Script(RequestFor("script://size/5/x")).src, "xxxxx");
    EXPECT_EQ(Script(RequestFor("script://lastmodified/DEAD /rest")).lastModified, "DEAD ");
    EXPECT_EQ(Script(RequestFor("script://lastmodified/")).lastModified, "");
}

TEST(EngineFactory, KnowsScriptAndRefusesUnknownNames) {
    const std::vector<std::string> names = EngineNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "script"), names.end());
    EXPECT_NE(MakeEngine("script"), nullptr);
    EXPECT_THROW(MakeEngine("no-such-engine"), std::invalid_argument);
}

}  // namespace
}  // namespace Server
}  // namespace Tarv

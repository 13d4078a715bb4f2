// The script engine: answers chosen by the URL, for tests and benchmarks.
//
//   script://echo/...           src lists the received options as "key=value"
//                               lines sorted by key, each ending in "\n";
//                               url = the request's url, lastModified "echo"
//   script://dead               a dead result
//   script://snapshot/N         snapshot of N bytes, byte i = i % 251 (so every
//                               251st byte is NUL); src "snapshot"
//   script://nul                url "script://nul\0tail", src "before\0after"
//                               (each with an embedded NUL byte)
//   script://delay/MS           answers after MS milliseconds; src "delayed"
//   script://silent             never answers (the worker moves on at once)
//   script://crash              the server exits at once with status 3, without
//                               cleaning up: its named objects stay behind
//   script://size/N             src of exactly N bytes, 'x' repeated
//   script://lastmodified/TEXT  lastModified = TEXT (may be empty)
//   anything else beginning with script://: a dead result, "unknown script"
//
// Parameters are separated by "/"; whatever follows them is ignored (as in
// script://delay/500/worker-3), so every URL can be made unique. Unless said
// otherwise above, url is the request's url and lastModified the script's
// name. A URL not beginning with script:// gets a dead result; so does a
// malformed or too large number. A delay that would pass the request's
// deadline ends at the deadline with EngineTimeOut.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/Log.hpp"
#include "engines/detail/Engines.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

constexpr const char* kScheme = "script://";
constexpr int kCrashStatus = 3;
constexpr std::uint64_t kLargestBody = 256u * 1024u * 1024u;  // snapshot/N and size/N
constexpr std::uint64_t kLongestDelayMs = 24u * 3600u * 1000u;
constexpr unsigned kSnapshotPeriod = 251;

// The "/"-separated parts after the scheme.
std::vector<std::string> Parts(const std::string& rest) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = rest.find('/', start);
        parts.push_back(rest.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

// A decimal count no larger than `largest`; false when it is anything else.
bool Count(const std::vector<std::string>& parts, std::uint64_t largest, std::uint64_t& out) {
    if (parts.size() < 2 || parts[1].empty() || parts[1].size() > 19) return false;
    std::uint64_t value = 0;
    for (char c : parts[1]) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > largest) return false;
    out = value;
    return true;
}

PageAnswer Dead(const std::string& why) {
    PageAnswer answer;
    answer.dead = true;
    answer.why = why;
    return answer;
}

PageAnswer Page(const std::string& url, const std::string& lastModified, std::string src) {
    PageAnswer answer;
    answer.url = url;
    answer.lastModified = lastModified;
    answer.src = std::move(src);
    return answer;
}

class ScriptEngine : public Engine {
public:
    PageAnswer Handle(const PageRequest& request, std::size_t) override {
        const std::string& url = request.url;
        if (url.compare(0, std::char_traits<char>::length(kScheme), kScheme) != 0)
            return Dead("not a script URL: " + ForLog(url));
        const std::vector<std::string> parts = Parts(url.substr(std::char_traits<char>::length(kScheme)));
        const std::string& script = parts[0];
        std::uint64_t count = 0;

        if (script == "echo") {
            std::string src;
            for (const auto& option : request.options) src += option.first + "=" + option.second + "\n";
            return Page(url, "echo", std::move(src));
        }
        if (script == "dead") return Dead("script://dead");
        if (script == "snapshot") {
            if (!Count(parts, kLargestBody, count)) return Dead("bad snapshot size: " + ForLog(url));
            PageAnswer answer = Page(url, script, "snapshot");
            answer.snapshot.resize(count);
            for (std::uint64_t i = 0; i < count; ++i) answer.snapshot[i] = static_cast<char>(i % kSnapshotPeriod);
            return answer;
        }
        if (script == "nul") {
            static const char kUrl[] = "script://nul\0tail";
            static const char kSrc[] = "before\0after";
            return Page(std::string(kUrl, sizeof kUrl - 1), script, std::string(kSrc, sizeof kSrc - 1));
        }
        if (script == "delay") {
            if (!Count(parts, kLongestDelayMs, count)) return Dead("bad delay: " + ForLog(url));
            const Clock::time_point due = Clock::now() + std::chrono::milliseconds(count);
            if (due > request.deadline) {
                std::this_thread::sleep_until(request.deadline);
                throw EngineTimeOut("delay of " + std::to_string(count) + " ms passes the deadline");
            }
            std::this_thread::sleep_until(due);
            return Page(url, script, "delayed");
        }
        if (script == "silent") {
            PageAnswer answer;
            answer.silent = true;
            answer.why = "script://silent";
            return answer;
        }
        if (script == "crash") {
            TARV_LOG(ServerLogger(), log4cplus::FATAL_LOG_LEVEL, kSourceScript,
                     "script://crash: exiting with status " << kCrashStatus << " without cleaning up");
            ::_exit(kCrashStatus);
        }
        if (script == "size") {
            if (!Count(parts, kLargestBody, count)) return Dead("bad size: " + ForLog(url));
            return Page(url, script, std::string(count, 'x'));
        }
        if (script == "lastmodified") {
            PageAnswer answer = Page(url, parts.size() > 1 ? parts[1] : std::string(), "lastmodified");
            return answer;
        }
        TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, kSourceScript, "unknown script " << ForLog(url));
        return Dead("unknown script");
    }
};

}  // namespace

std::unique_ptr<Engine> MakeScriptEngine() { return std::make_unique<ScriptEngine>(); }

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

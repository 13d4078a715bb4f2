// One page per request, in a browser context of its own (its own cookies,
// cache and storage), closed with the context when the request is done:
//
//   context, page and session; downloads denied; Page, Network and lifecycle
//   events on; the viewport; the Cookie header; Fetch interception of the
//   blocked resource types, of icons and, for a POST, of the main document
//   -> Page.navigate, then wait for the "load" lifecycle event of that
//   navigation (within keep) -> script -> delay -> the DOM and the final URL
//   -> the snapshot, made to fit the ticket segment.
//
// Every wait handles the page's events as they come: paused requests are
// blocked or continued, dialogs are accepted, a crash ends the request.
#include "engines/detail/RenderPage.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <stdexcept>

#include "core/Log.hpp"
#include "engines/detail/RenderLimits.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

// The document as it stands, its doctype first, and the URL it has now.
constexpr const char* kCaptureExpression = R"JS((() => {
  const doctype = document.doctype;
  return {
    url: location.href,
    src: (doctype ? new XMLSerializer().serializeToString(doctype) : "") +
         (document.documentElement ? document.documentElement.outerHTML : "")
  };
})())JS";

struct Blockable {
    const char* option;  // as "disable" names it
    const char* type;    // as DevTools names it
};
constexpr Blockable kBlockable[] = {
    {"image", "Image"}, {"stylesheet", "Stylesheet"}, {"font", "Font"}, {"script", "Script"}, {"media", "Media"},
};

constexpr const char* kPostContentType = "application/x-www-form-urlencoded";
constexpr const char* kBlockedReason = "BlockedByClient";
constexpr const char* kImageAccept = "image/";  // the Accept header of an icon request begins so

// The page is gone (its renderer crashed, or it was closed).
class PageLost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

PageAnswer Dead(const std::string& why) {
    PageAnswer answer;
    answer.dead = true;
    answer.why = why;
    return answer;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

const std::string* Find(const std::map<std::string, std::string>& options, const char* key) {
    const auto found = options.find(key);
    return found == options.end() ? nullptr : &found->second;
}

bool Flag(const std::map<std::string, std::string>& options, const char* key) {
    const std::string* text = Find(options, key);
    if (!text || text->empty() || *text == "0") return false;
    if (*text == "1") return true;
    throw std::invalid_argument(std::string(key) + " must be \"1\" or \"0\", not \"" + *text + "\"");
}

// Milliseconds; a negative count is 0.
std::chrono::milliseconds Milliseconds(const std::map<std::string, std::string>& options, const char* key) {
    const std::string* text = Find(options, key);
    if (!text || text->empty()) return std::chrono::milliseconds(0);
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end != text->c_str() + text->size())
        throw std::invalid_argument(std::string(key) + " must be a whole number of milliseconds, not \"" + *text +
                                    "\"");
    return std::chrono::milliseconds(std::max(0LL, value));
}

std::vector<std::string> Blocked(const std::string& list) {
    std::vector<std::string> types;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type comma = list.find(',', start);
        const std::string name = Lower(Trimmed(list.substr(start, comma == std::string::npos ? comma : comma - start)));
        if (!name.empty()) {
            const Blockable* known = nullptr;
            for (const Blockable& blockable : kBlockable)
                if (name == blockable.option) known = &blockable;
            if (!known) {
                std::string names;
                for (const Blockable& blockable : kBlockable)
                    names += (names.empty() ? "" : ", ") + std::string(blockable.option);
                throw std::invalid_argument("disable names an unknown resource type \"" + name + "\" (known: " + names +
                                            ")");
            }
            if (std::find(types.begin(), types.end(), known->type) == types.end()) types.emplace_back(known->type);
        }
        if (comma == std::string::npos) return types;
        start = comma + 1;
    }
}

// A header's value from a DevTools header object (names in any case).
std::string Header(const Json& headers, const std::string& name) {
    if (!headers.is_object()) return std::string();
    const std::string wanted = Lower(name);
    for (auto header = headers.begin(); header != headers.end(); ++header)
        if (Lower(header.key()) == wanted && header->is_string()) return header->get<std::string>();
    return std::string();
}

std::string Text(const Json& object, const char* key) {
    if (!object.is_object()) return std::string();
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool HttpUrl(const std::string& url) {
    const std::string start = Lower(url.substr(0, 8));
    return start.compare(0, 7, "http://") == 0 || start.compare(0, 8, "https://") == 0;
}

// What a thrown script left in a Runtime.evaluate result, for the log.
std::string Exception(const Json& result) {
    const Json details = result.value("exceptionDetails", Json::object());
    const std::string described = Text(details.value("exception", Json::object()), "description");
    return described.empty() ? Text(details, "text") : described;
}

long long Elapsed(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

class Page {
public:
    Page(DevToolsPipe& pipe, const PageOptions& options, Clock::time_point deadline)
        : pipe_(pipe), options_(options), deadline_(deadline), box_(pipe.OpenMailbox()) {}

    // Closes the page with its browser context (without waiting for it).
    ~Page() {
        try {
            if (!session_.empty()) pipe_.Unroute(session_);
            if (!context_.empty() && !pipe_.Closed())
                pipe_.Send(nullptr, "Target.disposeBrowserContext", {{"browserContextId", context_}}, std::string(),
                           Clock::now() + Render::kLooseWriteLimit);
        } catch (...) {
            // Chromium is gone or stuck: the watchdog deals with it.
        }
    }
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    PageAnswer Render(const std::string& url) {
        const Clock::time_point started = Clock::now();
        Open();
        const Clock::time_point opened = Clock::now();
        std::optional<PageAnswer> failed = Load(url);
        if (failed) return *failed;
        const Clock::time_point loaded = Clock::now();
        if (!options_.script.empty()) {
            const Json result =
                Finish(Session("Runtime.evaluate",
                               {{"expression", options_.script}, {"awaitPromise", true}, {"userGesture", true}}),
                       "Runtime.evaluate");
            if (result.contains("exceptionDetails"))
                TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, Render::kSource,
                         "the script for " << ForLog(url) << " threw: " << ForLog(Exception(result)));
        }
        if (options_.delay.count() > 0) {
            const Clock::time_point until = Clock::now() + options_.delay;
            if (until > deadline_)
                throw EngineTimeOut("the delay of " + std::to_string(options_.delay.count()) +
                                    " ms passes the deadline");
            Pump(until);
        }
        PageAnswer answer = Capture();
        TARV_LOG(ServerLogger(), log4cplus::DEBUG_LOG_LEVEL, Render::kSource,
                 ForLog(url) << ": page opened in " << Elapsed(started, opened) << " ms, loaded in "
                             << Elapsed(opened, loaded) << " ms, done in " << Elapsed(loaded, Clock::now()) << " ms");
        return answer;
    }

private:
    long Browser(const std::string& method, const Json& params) {
        return pipe_.Send(box_, method, params, std::string(), deadline_);
    }
    long Session(const std::string& method, const Json& params = Json::object()) {
        return pipe_.Send(box_, method, params, session_, deadline_);
    }
    // A session command whose answer nobody waits for.
    void Loose(const std::string& method, const Json& params) {
        try {
            pipe_.Send(nullptr, method, params, session_, std::min(deadline_, Clock::now() + Render::kLooseWriteLimit));
        } catch (const CallTimeOut&) {
            TARV_LOG(ServerLogger(), log4cplus::DEBUG_LOG_LEVEL, Render::kSource,
                     method << " could not be sent in time");
        }
    }

    // Waits for the answer `id` until the deadline, handling events meanwhile.
    Json Finish(long id, const std::string& method) {
        std::optional<Json> answer = Await(id, deadline_);
        if (!answer) throw EngineTimeOut(method + " was not answered by the deadline");
        return ResultOf(*answer, method);
    }

    // The answer `id`, or nothing when it did not come by `until`.
    std::optional<Json> Await(long id, Clock::time_point until) {
        for (;;) {
            const auto early = early_.find(id);
            if (early != early_.end()) {
                Json answer = std::move(early->second);
                early_.erase(early);
                return answer;
            }
            if (!Step(until)) return std::nullopt;
        }
    }

    // Handles events until `until`.
    void Pump(Clock::time_point until) {
        while (Step(until)) {
        }
    }

    // Takes one message: an answer is kept for Await, an event is handled.
    // Returns false when none came by `until`.
    bool Step(Clock::time_point until) {
        if (!lost_.empty()) throw PageLost(lost_);
        std::optional<Json> message = pipe_.Next(*box_, until);
        if (!message) return false;
        const auto id = message->find("id");
        if (id != message->end() && id->is_number_integer()) {
            const long answered = id->get<long>();
            early_[answered] = std::move(*message);
        } else {
            Handle(*message);
        }
        if (!lost_.empty()) throw PageLost(lost_);
        return true;
    }

    void Open() {
        context_ = Text(Finish(Browser("Target.createBrowserContext", Json::object()), "Target.createBrowserContext"),
                        "browserContextId");
        const long deny =
            Browser("Browser.setDownloadBehavior", {{"behavior", "deny"}, {"browserContextId", context_}});
        const long create = Browser("Target.createTarget", {{"url", "about:blank"},
                                                            {"browserContextId", context_},
                                                            {"width", Render::kViewportWidth},
                                                            {"height", Render::kViewportHeight}});
        Finish(deny, "Browser.setDownloadBehavior");
        target_ = Text(Finish(create, "Target.createTarget"), "targetId");
        session_ = Text(Finish(Browser("Target.attachToTarget", {{"targetId", target_}, {"flatten", true}}),
                               "Target.attachToTarget"),
                        "sessionId");
        pipe_.Route(session_, box_);

        std::vector<std::pair<long, const char*>> setUp;
        setUp.emplace_back(Session("Page.enable"), "Page.enable");
        setUp.emplace_back(Session("Page.setLifecycleEventsEnabled", {{"enabled", true}}),
                           "Page.setLifecycleEventsEnabled");
        setUp.emplace_back(Session("Network.enable"), "Network.enable");
        setUp.emplace_back(Session("Emulation.setDeviceMetricsOverride", {{"width", Render::kViewportWidth},
                                                                          {"height", Render::kViewportHeight},
                                                                          {"deviceScaleFactor", 1},
                                                                          {"mobile", false}}),
                           "Emulation.setDeviceMetricsOverride");
        if (!options_.cookie.empty())
            setUp.emplace_back(Session("Network.setExtraHTTPHeaders", {{"headers", {{"Cookie", options_.cookie}}}}),
                               "Network.setExtraHTTPHeaders");
        Json patterns = Json::array();
        patterns.push_back({{"urlPattern", "*"}, {"resourceType", "Other"}, {"requestStage", "Request"}});
        for (const std::string& type : options_.blocked)
            patterns.push_back({{"urlPattern", "*"}, {"resourceType", type}, {"requestStage", "Request"}});
        if (!options_.post.empty())
            patterns.push_back({{"urlPattern", "*"}, {"resourceType", "Document"}, {"requestStage", "Request"}});
        setUp.emplace_back(Session("Fetch.enable", {{"patterns", patterns}}), "Fetch.enable");
        for (const auto& step : setUp) Finish(step.first, step.second);
    }

    // Navigates and waits for the load; a dead answer when the page cannot be
    // had at all.
    std::optional<PageAnswer> Load(const std::string& url) {
        const long navigate = Session("Page.navigate", {{"url", url}});
        const Clock::time_point loadUntil =
            options_.keep.count() > 0 ? std::min(deadline_, Clock::now() + options_.keep) : deadline_;
        bool navigated = false;
        for (;;) {
            if (!navigated) {
                const auto early = early_.find(navigate);
                if (early != early_.end()) {
                    const Json navigation = ResultOf(early->second, "Page.navigate");
                    early_.erase(early);
                    const std::string error = Text(navigation, "errorText");
                    if (!error.empty()) return Dead("loading failed: " + error);
                    loader_ = Text(navigation, "loaderId");
                    navigated = true;
                }
            }
            if (navigated && loaded_.count(loader_) > 0) break;
            if (!Step(loadUntil)) break;
        }
        if (navigated && loaded_.count(loader_) > 0) {
            lastModified_ = lastModifiedOf_[loader_];
            return std::nullopt;
        }
        if (loadUntil >= deadline_) throw EngineTimeOut("the page did not load by the deadline");
        if (!navigated)
            return Dead("no answer for the page within keep (" + std::to_string(options_.keep.count()) + " ms)");
        lastModified_ = lastModifiedOf_[loader_];
        TARV_LOG(
            ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
            ForLog(url) << " did not finish loading within keep (" << options_.keep.count() << " ms); taken as it is");
        Loose("Page.stopLoading", Json::object());
        return std::nullopt;
    }

    PageAnswer Capture() {
        const Json result =
            Finish(Session("Runtime.evaluate", {{"expression", kCaptureExpression}, {"returnByValue", true}}),
                   "Runtime.evaluate");
        if (result.contains("exceptionDetails")) return Dead("the document could not be read: " + Exception(result));
        const Json value = result.value("result", Json::object()).value("value", Json::object());
        PageAnswer answer;
        answer.url = Text(value, "url");
        answer.lastModified = lastModified_;
        answer.src = Text(value, "src");
        const std::size_t texts = answer.url.size() + answer.lastModified.size() + answer.src.size();
        if (texts > Render::kResultBudget)
            return Dead("the page (" + std::to_string(texts) + " bytes with its URL) does not fit in a result of " +
                        std::to_string(Render::kResultBudget) + " bytes");
        if (!options_.snapshot) return answer;
        std::string why;
        std::optional<std::string> snapshot = Snapshot(SnapshotRoom(answer), why);
        if (!snapshot) {
            TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, Render::kSource, ForLog(answer.url) << ": " << why);
            return Dead(why);
        }
        answer.snapshot = std::move(*snapshot);
        return answer;
    }

    // The first of PNG, JPEG at falling quality, scaled-down JPEG that fits in
    // `room` bytes; nothing (and `why`) when none does.
    std::optional<std::string> Snapshot(std::size_t room, std::string& why) {
        std::vector<std::pair<Json, std::string>> tries;
        tries.emplace_back(Json{{"format", "png"}}, "PNG");
        for (int quality : Render::kJpegQualities)
            tries.emplace_back(Json{{"format", "jpeg"}, {"quality", quality}},
                               "JPEG of quality " + std::to_string(quality));
        const int lowest = Render::kJpegQualities[sizeof Render::kJpegQualities / sizeof Render::kJpegQualities[0] - 1];
        for (double scale : Render::kSnapshotScales)
            tries.emplace_back(Json{{"format", "jpeg"},
                                    {"quality", lowest},
                                    {"clip",
                                     {{"x", 0},
                                      {"y", 0},
                                      {"width", Render::kViewportWidth},
                                      {"height", Render::kViewportHeight},
                                      {"scale", scale}}}},
                               "JPEG of quality " + std::to_string(lowest) + " scaled by " + std::to_string(scale));
        std::size_t pngSize = 0;
        for (const auto& attempt : tries) {
            const Json shot = Finish(Session("Page.captureScreenshot", attempt.first), "Page.captureScreenshot");
            std::string bytes = Base64Decode(Text(shot, "data"));
            if (pngSize == 0) pngSize = bytes.size();
            if (bytes.size() <= room) {
                if (&attempt != &tries.front())
                    TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
                             "the PNG snapshot (" << pngSize << " bytes) does not fit beside the page (" << room
                                                  << " bytes left); sent as " << attempt.second << " (" << bytes.size()
                                                  << " bytes)");
                return bytes;
            }
        }
        why = "no snapshot fits beside the page (" + std::to_string(room) + " bytes left; the PNG has " +
              std::to_string(pngSize) + " bytes)";
        return std::nullopt;
    }

    void Handle(const Json& event) {
        const std::string method = Text(event, "method");
        const Json& params = event.contains("params") ? event["params"] : Json::object();
        if (method == "Fetch.requestPaused") {
            Paused(params);
        } else if (method == "Page.lifecycleEvent") {
            if (Text(params, "name") == "load" && Text(params, "frameId") == target_)
                loaded_.insert(Text(params, "loaderId"));
        } else if (method == "Network.responseReceived") {
            if (Text(params, "type") == "Document" && Text(params, "frameId") == target_)
                lastModifiedOf_[Text(params, "loaderId")] =
                    Header(params.value("response", Json::object()).value("headers", Json::object()), "Last-Modified");
        } else if (method == "Page.javascriptDialogOpening") {
            Loose("Page.handleJavaScriptDialog", {{"accept", true}});
        } else if (method == "Inspector.targetCrashed") {
            lost_ = "the page's renderer crashed";
        } else if (method == "Target.detachedFromTarget") {
            lost_ = "the page was closed";
        }
    }

    void Paused(const Json& params) {
        const std::string id = Text(params, "requestId");
        const std::string type = Text(params, "resourceType");
        const Json& request = params.contains("request") ? params["request"] : Json::object();
        const bool blocked =
            std::find(options_.blocked.begin(), options_.blocked.end(), type) != options_.blocked.end();
        const bool icon =
            type == "Other" && Header(request.value("headers", Json::object()), "Accept")
                                       .compare(0, std::char_traits<char>::length(kImageAccept), kImageAccept) == 0;
        if (blocked || icon) {
            Loose("Fetch.failRequest", {{"requestId", id}, {"errorReason", kBlockedReason}});
            return;
        }
        if (type == "Document" && !options_.post.empty() && !postSent_ && Text(params, "frameId") == target_) {
            postSent_ = true;
            const Json original = request.value("headers", Json::object());
            Json headers = Json::array();
            for (auto header = original.begin(); header != original.end(); ++header)
                if (header->is_string())
                    headers.push_back({{"name", header.key()}, {"value", header->get<std::string>()}});
            if (Header(original, "Content-Type").empty())
                headers.push_back({{"name", "Content-Type"}, {"value", kPostContentType}});
            Loose("Fetch.continueRequest", {{"requestId", id},
                                            {"method", "POST"},
                                            {"postData", Base64Encode(options_.post)},
                                            {"headers", headers}});
            return;
        }
        Loose("Fetch.continueRequest", {{"requestId", id}});
    }

    DevToolsPipe& pipe_;
    const PageOptions& options_;
    const Clock::time_point deadline_;
    const std::shared_ptr<Mailbox> box_;
    std::map<long, Json> early_;  // answers that came while waiting for something else
    std::string context_;
    std::string target_;  // also the id of the page's main frame
    std::string session_;
    std::string loader_;                                 // of the navigation to the requested URL
    std::set<std::string> loaded_;                       // loaders whose "load" event came
    std::map<std::string, std::string> lastModifiedOf_;  // main-document Last-Modified by loader
    std::string lastModified_;
    bool postSent_ = false;
    std::string lost_;  // why the page is gone; empty while it is there
};

}  // namespace

PageOptions ReadOptions(const std::map<std::string, std::string>& options) {
    PageOptions read;
    read.snapshot = Flag(options, "snapshot");
    read.keep = Milliseconds(options, "keep");
    read.delay = Milliseconds(options, "delay");
    for (auto text : {std::make_pair("post", &read.post), std::make_pair("script", &read.script),
                      std::make_pair("cookie", &read.cookie)})
        if (const std::string* value = Find(options, text.first)) *text.second = *value;
    if (const std::string* disable = Find(options, "disable")) read.blocked = Blocked(*disable);
    return read;
}

PageAnswer RenderPage(DevToolsPipe& pipe, const std::string& url, const PageOptions& options,
                      Clock::time_point deadline) {
    if (url.find('\0') != std::string::npos) return Dead("the URL holds a NUL byte");
    if (!HttpUrl(url)) return Dead("the render engine loads http:// and https:// URLs only: " + ForLog(url));
    try {
        Page page(pipe, options, deadline);
        return page.Render(url);
    } catch (const PageLost& lost) {
        return Dead(lost.what());
    } catch (const CallFailed& failed) {
        return Dead(failed.what());
    } catch (const std::invalid_argument& bad) {
        return Dead(std::string("Chromium sent something unreadable: ") + bad.what());
    }
}

std::size_t SnapshotRoom(const PageAnswer& answer) {
    const std::size_t texts = answer.url.size() + answer.lastModified.size() + answer.src.size();
    return texts >= Render::kResultBudget ? 0 : Render::kResultBudget - texts;
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

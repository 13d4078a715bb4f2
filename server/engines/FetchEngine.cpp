// The fetch engine: gets pages over HTTP and HTTPS with libcurl, without
// rendering them.
//
// Each worker owns one libcurl easy handle, reused for all its requests, so
// connections to a host stay open between requests (keep-alive).
//
// Options:
//   keep        total time limit of the transfer, in milliseconds (redirects
//               included); 0: only the request's deadline (the server's
//               --engine-timeout) limits it
//   delay       time limit for connecting, in milliseconds; 0: libcurl's own
//   post        non-empty: the request is a POST with exactly this body
//   cookie      non-empty: sent as the Cookie header
//   snapshot, coordinate, lumo, script, disable: ignored (nothing is rendered)
// keep and delay must be non-negative decimal integers; anything else gives a
// dead result. Missing options count as 0 or empty.
//
// Answers:
//   - every complete HTTP response is a page, whatever its status (404 and
//     500 included): url = the effective URL after redirects (at most
//     FetchLimits::kMaxRedirects), lastModified = the final response's
//     Last-Modified value, trimmed, or empty; src = the body, every byte
//     (decoded when the server compressed it);
//   - no complete response (connection refused, DNS failure, time-out, TLS or
//     transport error, too many redirects, a body larger than a ticket
//     segment, a scheme other than http or https) gives a dead result, with
//     libcurl's error in the server's log. When the request's deadline, not
//     keep, ran out, the engine reports an engine time-out (also dead).
#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/mpl/string.hpp>

#include "browser/Options.hpp"
#include "core/Log.hpp"
#include "engines/detail/Engines.hpp"
#include "engines/detail/FetchTransfer.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

using std::chrono::milliseconds;

template <class Tag>
const char* Key() {
    return boost::mpl::c_str<typename Tag::key>::value;
}

const std::string* Find(const PageRequest& request, const char* key) {
    const auto found = request.options.find(key);
    return found == request.options.end() ? nullptr : &found->second;
}

// A time limit option: false when it is there but not a non-negative 32-bit
// decimal integer.
bool Limit(const PageRequest& request, const char* key, milliseconds& out) {
    out = milliseconds(0);
    const std::string* text = Find(request, key);
    if (!text || text->empty()) return true;
    if (text->find_first_not_of("0123456789") != std::string::npos || text->size() > 10) return false;
    const unsigned long long value = std::strtoull(text->c_str(), nullptr, 10);
    if (value > static_cast<unsigned long long>(std::numeric_limits<int>::max())) return false;
    out = milliseconds(static_cast<long long>(value));
    return true;
}

std::string Text(const PageRequest& request, const char* key) {
    const std::string* text = Find(request, key);
    return text ? *text : std::string();
}

PageAnswer Dead(std::string why) {
    PageAnswer answer;
    answer.dead = true;
    answer.why = std::move(why);
    return answer;
}

class FetchEngine : public Engine {
public:
    void Start(std::size_t workers) override {
        std::vector<FetchHandle> handles(workers);
        handles_ = std::move(handles);
    }

    PageAnswer Handle(const PageRequest& request, std::size_t worker) override {
        if (worker >= handles_.size())
            throw std::out_of_range("fetch engine: worker " + std::to_string(worker) + " was not started");
        if (request.url.empty()) return Dead("empty URL");
        if (request.url.find('\0') != std::string::npos) return Dead("URL holds a NUL byte: " + ForLog(request.url));

        using namespace Browser::Option;
        FetchOrder order;
        order.url = request.url;
        milliseconds keep;
        if (!Limit(request, Key<Keep>(), keep))
            return Dead(std::string("bad option ") + Key<Keep>() + ": " + ForLog(Text(request, Key<Keep>())));
        if (!Limit(request, Key<Delay>(), order.connect))
            return Dead(std::string("bad option ") + Key<Delay>() + ": " + ForLog(Text(request, Key<Delay>())));
        order.post = Text(request, Key<Post>());
        order.cookie = Text(request, Key<Cookie>());

        const Clock::time_point started = Clock::now();
        const milliseconds left = std::chrono::duration_cast<milliseconds>(request.deadline - started);
        if (left.count() <= 0) throw EngineTimeOut("no time left for " + ForLog(request.url));
        const bool deadlineBinds = keep.count() == 0 || left < keep;
        order.total = deadlineBinds ? left : keep;

        FetchOutcome outcome = handles_[worker].Run(order);
        if (!outcome.answered) {
            const std::string why = "curl error " + std::to_string(static_cast<int>(outcome.code)) + " for " +
                                    ForLog(request.url) + ": " + outcome.error;
            if (outcome.code == CURLE_OPERATION_TIMEDOUT && deadlineBinds) throw EngineTimeOut(why);
            return Dead(why);
        }
        TARV_LOG(ServerLogger(), log4cplus::DEBUG_LOG_LEVEL, kSourceFetch,
                 "fetched " << ForLog(request.url) << ": HTTP " << outcome.status << ", " << outcome.body.size()
                            << " bytes from " << ForLog(outcome.url) << " in "
                            << std::chrono::duration_cast<milliseconds>(Clock::now() - started).count() << " ms");
        PageAnswer answer;
        answer.url = std::move(outcome.url);
        answer.lastModified = std::move(outcome.lastModified);
        answer.src = std::move(outcome.body);
        return answer;
    }

private:
    std::vector<FetchHandle> handles_;  // one per worker, indexed by worker number
};

}  // namespace

std::unique_ptr<Engine> MakeFetchEngine() {
    FetchGlobalInit();
    return std::make_unique<FetchEngine>();
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

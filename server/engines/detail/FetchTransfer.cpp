#include "engines/detail/FetchTransfer.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace Tarv {
namespace Server {
namespace detail {
namespace {

// libcurl's process-wide state: set up once, torn down at exit.
class GlobalInit {
public:
    GlobalInit() : code_(curl_global_init(CURL_GLOBAL_DEFAULT)) {}
    ~GlobalInit() {
        if (code_ == CURLE_OK) curl_global_cleanup();
    }
    GlobalInit(const GlobalInit&) = delete;
    GlobalInit& operator=(const GlobalInit&) = delete;
    CURLcode Code() const { return code_; }

private:
    CURLcode code_;
};

// Where the callbacks of one transfer put what arrives.
struct Receiver {
    std::string body;
    std::string lastModified;
    bool tooLarge = false;
};

// Callbacks run inside libcurl: nothing may leave them as an exception.
extern "C" std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
    Receiver& receiver = *static_cast<Receiver*>(user);
    const std::size_t bytes = size * count;
    if (bytes > FetchLimits::kLargestBody - receiver.body.size()) {
        receiver.tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    try {
        receiver.body.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

bool StartsWithNoCase(const char* data, std::size_t size, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    if (size < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = data[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Called once per header line of every response, redirects and interim
// responses included: a status line starts a new response, so only the final
// response's Last-Modified is kept.
extern "C" std::size_t HeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
    Receiver& receiver = *static_cast<Receiver*>(user);
    const std::size_t bytes = size * count;
    static const char kName[] = "last-modified:";
    try {
        if (StartsWithNoCase(data, bytes, "http/")) {
            receiver.lastModified.clear();
        } else if (StartsWithNoCase(data, bytes, kName)) {
            std::size_t begin = sizeof kName - 1;
            std::size_t end = bytes;
            while (begin < end && Blank(data[begin])) ++begin;
            while (end > begin && Blank(data[end - 1])) --end;
            receiver.lastModified.assign(data + begin, end - begin);
        }
    } catch (...) {
        return 0;
    }
    return bytes;
}

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

long Milliseconds(std::chrono::milliseconds limit) {
    const auto count = limit.count();
    if (count > std::numeric_limits<long>::max()) return std::numeric_limits<long>::max();
    return static_cast<long>(count);
}

// Sets an option that must hold; a handle that cannot be restricted or fed
// as asked is not used at all.
template <class Value>
void Require(CURL* handle, CURLoption option, Value value, const char* what) {
    const CURLcode code = curl_easy_setopt(handle, option, value);
    if (code != CURLE_OK)
        throw std::runtime_error(std::string("libcurl refused ") + what + ": " + curl_easy_strerror(code));
}

// Puts the handle back to its defaults when a transfer ends, so that it keeps
// no pointer into the finished transfer; its connections stay open.
class ResetAfter {
public:
    explicit ResetAfter(CURL* handle) : handle_(handle) {}
    ~ResetAfter() { curl_easy_reset(handle_); }
    ResetAfter(const ResetAfter&) = delete;
    ResetAfter& operator=(const ResetAfter&) = delete;

private:
    CURL* handle_;
};

}  // namespace

void FetchGlobalInit() {
    static const GlobalInit init;
    if (init.Code() != CURLE_OK)
        throw std::runtime_error(std::string("curl_global_init failed: ") + curl_easy_strerror(init.Code()));
}

FetchHandle::FetchHandle() : handle_(curl_easy_init()) {
    if (!handle_) throw std::runtime_error("curl_easy_init gave no handle");
}

FetchOutcome FetchHandle::Run(const FetchOrder& order) {
    CURL* const handle = handle_.get();
    curl_easy_reset(handle);
    const ResetAfter resetAfter(handle);

    Receiver receiver;
    char errorText[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, SlistFree> headers;

    Require(handle, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
    Require(handle, CURLOPT_PROTOCOLS_STR, FetchLimits::kProtocols, "CURLOPT_PROTOCOLS_STR");
    Require(handle, CURLOPT_REDIR_PROTOCOLS_STR, FetchLimits::kProtocols, "CURLOPT_REDIR_PROTOCOLS_STR");
    Require(handle, CURLOPT_ERRORBUFFER, errorText, "CURLOPT_ERRORBUFFER");
    Require(handle, CURLOPT_URL, order.url.c_str(), "CURLOPT_URL");
    Require(handle, CURLOPT_FOLLOWLOCATION, 1L, "CURLOPT_FOLLOWLOCATION");
    Require(handle, CURLOPT_MAXREDIRS, FetchLimits::kMaxRedirects, "CURLOPT_MAXREDIRS");
    Require(handle, CURLOPT_PROXY, "", "CURLOPT_PROXY");  // always direct, whatever the environment says
    Require(handle, CURLOPT_USERAGENT, FetchLimits::kUserAgent, "CURLOPT_USERAGENT");
    Require(handle, CURLOPT_ACCEPT_ENCODING, "", "CURLOPT_ACCEPT_ENCODING");
    Require(handle, CURLOPT_TIMEOUT_MS, Milliseconds(order.total), "CURLOPT_TIMEOUT_MS");
    if (order.connect.count() > 0)
        Require(handle, CURLOPT_CONNECTTIMEOUT_MS, Milliseconds(order.connect), "CURLOPT_CONNECTTIMEOUT_MS");
    Require(handle, CURLOPT_WRITEFUNCTION, &WriteBody, "CURLOPT_WRITEFUNCTION");
    Require(handle, CURLOPT_WRITEDATA, static_cast<void*>(&receiver), "CURLOPT_WRITEDATA");
    Require(handle, CURLOPT_HEADERFUNCTION, &HeaderLine, "CURLOPT_HEADERFUNCTION");
    Require(handle, CURLOPT_HEADERDATA, static_cast<void*>(&receiver), "CURLOPT_HEADERDATA");
    if (!order.post.empty()) {
        Require(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(order.post.size()),
                "CURLOPT_POSTFIELDSIZE_LARGE");
        Require(handle, CURLOPT_POSTFIELDS, order.post.data(), "CURLOPT_POSTFIELDS");
        // No "Expect: 100-continue" round trip before the body.
        headers.reset(curl_slist_append(nullptr, "Expect:"));
        if (!headers) throw std::bad_alloc();
        Require(handle, CURLOPT_HTTPHEADER, headers.get(), "CURLOPT_HTTPHEADER");
    }
    if (!order.cookie.empty()) Require(handle, CURLOPT_COOKIE, order.cookie.c_str(), "CURLOPT_COOKIE");

    FetchOutcome outcome;
    outcome.code = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &outcome.status);
    if (outcome.code != CURLE_OK) {
        if (receiver.tooLarge)
            outcome.error = "body larger than " + std::to_string(FetchLimits::kLargestBody) + " bytes";
        else
            outcome.error = errorText[0] ? errorText : curl_easy_strerror(outcome.code);
        return outcome;
    }
    const char* effective = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
        outcome.url = effective;
    else
        outcome.url = order.url;
    outcome.answered = true;
    outcome.lastModified = std::move(receiver.lastModified);
    outcome.body = std::move(receiver.body);
    return outcome;
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

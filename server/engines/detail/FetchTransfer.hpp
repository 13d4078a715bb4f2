// One HTTP(S) transfer of the fetch engine on a reused libcurl easy handle.
//
// A FetchHandle belongs to one worker thread at a time. Between transfers it
// keeps libcurl's connection cache, so a worker that fetches from the same
// host again reuses the open connection (HTTP keep-alive).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <curl/curl.h>

#include "browser/Protocol.hpp"

namespace Tarv {
namespace Server {
namespace detail {

constexpr const char* kSourceFetch = "server/engines/Fetch";

// The engine's fixed choices, in one place.
namespace FetchLimits {
constexpr long kMaxRedirects = 10;
// The only schemes a transfer or a redirect may use: file://, ftp:// and the
// rest stay out of reach of a page request.
constexpr const char* kProtocols = "http,https";
constexpr const char* kUserAgent = "tarv-fetch/0.1";
// A body larger than a ticket segment could never reach the client.
constexpr std::size_t kLargestBody = Browser::Protocol::kTicketSegmentSize;
}  // namespace FetchLimits

// What one transfer is asked to do. A zero time limit means "none of this
// kind"; `total` always comes out of the request's deadline, so it is never
// zero when a transfer starts.
struct FetchOrder {
    std::string url;
    std::string post;    // non-empty: POST with exactly these bytes as the body
    std::string cookie;  // non-empty: sent as the Cookie header
    std::chrono::milliseconds total{0};
    std::chrono::milliseconds connect{0};
};

// What came back. `answered` is false when no HTTP response arrived at all
// (refused, DNS failure, time-out, transport or protocol error); `error` then
// holds libcurl's words and `code` its error code.
struct FetchOutcome {
    bool answered = false;
    CURLcode code = CURLE_OK;
    std::string error;
    long status = 0;            // HTTP status of the final response
    std::string url;            // effective URL, after redirects
    std::string lastModified;   // Last-Modified of the final response, trimmed; empty when absent
    std::string body;
};

// Makes libcurl ready for use from many threads. Call once before any
// FetchHandle exists and before worker threads start; later calls do nothing.
// Throws std::runtime_error when libcurl cannot be initialised.
void FetchGlobalInit();

class FetchHandle {
public:
    // Throws std::runtime_error when libcurl gives no handle.
    FetchHandle();

    // Runs one transfer; never throws for anything the network does.
    // Throws std::runtime_error only when the handle cannot be set up as
    // required (e.g. the protocol restriction is not supported).
    FetchOutcome Run(const FetchOrder& order);

private:
    struct Cleanup {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    std::unique_ptr<CURL, Cleanup> handle_;
};

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

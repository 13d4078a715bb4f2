// One request of the render engine: a fresh browser context with one page in
// Chromium, loaded, scripted, captured and closed again.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "engines/Engine.hpp"
#include "engines/detail/RenderPipe.hpp"

namespace Tarv {
namespace Server {
namespace detail {

// A request's options as the render engine uses them. An option that is
// missing counts as "0" or empty.
struct PageOptions {
    bool snapshot = false;
    std::chrono::milliseconds keep{0};   // page-load limit; 0: the request's deadline
    std::chrono::milliseconds delay{0};  // wait after the load event (and the script)
    std::string post;                    // non-empty: the page is loaded with a POST of it
    std::string script;                  // evaluated after the load event
    std::string cookie;                  // the Cookie header of the page's requests
    std::vector<std::string> blocked;    // DevTools resource types never requested
};

// Reads the options of a request. Throws std::invalid_argument naming the
// option whose value the engine cannot use.
PageOptions ReadOptions(const std::map<std::string, std::string>& options);

// Renders `url` through `pipe`. Throws EngineTimeOut when the deadline passes,
// PipeClosed when Chromium goes away; other failures are dead answers.
PageAnswer RenderPage(DevToolsPipe& pipe, const std::string& url, const PageOptions& options,
                      Clock::time_point deadline);

// Bytes left for the snapshot beside the three texts; 0 when they alone fill
// the result budget.
std::size_t SnapshotRoom(const PageAnswer& answer);

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

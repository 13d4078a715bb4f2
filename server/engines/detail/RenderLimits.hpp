// The render engine's fixed values, in one place: how Chromium is started,
// the page's size, how long the engine waits for Chromium, and how much of the
// ticket segment a result may fill.
#pragma once

#include <chrono>
#include <cstddef>

#include "browser/Protocol.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace Render {

// Source path named in the engine's log records.
constexpr const char* kSource = "server/engines/Render";

// Chromium's binary: the variable, when set, names it; otherwise the first of
// the candidates that can be executed. Debian's /usr/bin/chromium is a shell
// wrapper that adds API keys and extension flags; the binary behind it is
// started directly when it is there.
constexpr const char* kChromiumVariable = "TARV_CHROMIUM";
constexpr const char* kChromiumCandidates[] = {"/usr/lib/chromium/chromium", "/usr/bin/chromium"};

// The page's viewport, which is also the size of a snapshot.
constexpr int kViewportWidth = 1280;
constexpr int kViewportHeight = 800;

// Chromium's command line, before the window size (the viewport's) and the
// profile (--user-data-dir) are added.
// Beyond headless operation over the DevTools pipe, these keep Chromium from
// going out on its own (updates, sync, translation, metrics, safe browsing,
// model downloads, HTTPS upgrades of http:// pages) and from starting helpers
// that outlive it (the crash handler). A feature switch is read only once, so
// each list is one switch. The network service runs inside the browser
// process: as a process of its own it crashes here ("FD ownership violation").
constexpr const char* kChromiumFlags[] = {
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--no-first-run",
    "--no-default-browser-check",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-quic",
    "--disable-default-apps",
    "--disable-extensions",
    "--disable-client-side-phishing-detection",
    "--disable-domain-reliability",
    "--safebrowsing-disable-auto-update",
    "--metrics-recording-only",
    "--no-pings",
    "--disable-breakpad",
    "--disable-crash-reporter",
    "--disable-crashpad-for-testing",
    "--disable-background-timer-throttling",
    "--disable-backgrounding-occluded-windows",
    "--disable-renderer-backgrounding",
    "--disable-search-engine-choice-screen",
    "--password-store=basic",
    "--mute-audio",
    "--hide-scrollbars",
    "--disable-features=Translate,OptimizationHints,MediaRouter,DialMediaRouteProvider,"
    "AutofillServerCommunication,CertificateTransparencyComponentUpdater,HttpsUpgrades,"
    "HttpsFirstBalancedModeAutoEnable,OptimizationGuideModelDownloading,OptimizationHintsFetching,"
    "OptimizationGuideOnDeviceModel",
    "--enable-features=NetworkServiceInProcess2",
    "--remote-debugging-pipe",
};

// Chromium's profile: a fresh directory "<prefix><server pid>-XXXXXX" in
// $TMPDIR (or /tmp), removed when that Chromium is gone. HOME and the XDG
// directories point into it, so nothing is written elsewhere.
constexpr const char* kProfilePrefix = "tarv-render-";
constexpr const char* kDefaultTemporaryDirectory = "/tmp";

// Descriptors on which Chromium reads commands and writes answers and events.
constexpr int kCommandDescriptor = 3;
constexpr int kEventDescriptor = 4;

// From the start of Chromium until it answers its first command.
constexpr std::chrono::milliseconds kStartLimit{20000};
// The watchdog asks Chromium for its version this often ...
constexpr std::chrono::milliseconds kWatchInterval{1000};
// ... and kills it when the answer takes longer than this.
constexpr std::chrono::milliseconds kHangLimit{5000};
// After SIGKILL, how long the engine waits to reap Chromium.
constexpr std::chrono::milliseconds kReapLimit{5000};
// Writing a command that is sent without waiting for its answer.
constexpr std::chrono::milliseconds kLooseWriteLimit{1000};

// Bytes read from Chromium's pipe at once.
constexpr std::size_t kReadChunk = 64u * 1024u;

// Bytes of url, lastModified, src and snapshot together that a result may
// hold. A fresh ticket segment takes 5032320 bytes of the four texts (with the
// client's placeholder record in it); the rest of the segment is left as slack
// for the allocator.
constexpr std::size_t kResultBudget = 4900000;
static_assert(kResultBudget < Browser::Protocol::kTicketSegmentSize, "the result budget is part of the segment");

// A PNG snapshot that does not fit the budget is taken again as JPEG at these
// qualities, then at the last quality with the page scaled down by these
// factors; when nothing fits, the answer is dead.
constexpr int kJpegQualities[] = {80, 60, 40, 20};
constexpr double kSnapshotScales[] = {0.5, 0.25};

}  // namespace Render
}  // namespace detail
}  // namespace Server
}  // namespace Tarv

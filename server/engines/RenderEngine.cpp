// The render engine: pages loaded and rendered by one long-lived headless
// Chromium, driven over the DevTools pipe (see engines/detail/Render*).
//
// Chromium starts with the engine (a server whose Chromium cannot start does
// not start either). Each request gets a page of its own in a fresh browser
// context, so pages in flight are bounded by the workers. When Chromium ends
// or stops answering, the requests in flight answer dead, and the watchdog
// kills what is left of it, reaps it and starts a new one (a request that
// finds no running Chromium starts one itself).
//
// Options: snapshot, keep, delay, post, script, cookie and disable (see
// RenderPage.hpp and the README); coordinate and lumo are ignored.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/Log.hpp"
#include "engines/detail/Engines.hpp"
#include "engines/detail/RenderLimits.hpp"
#include "engines/detail/RenderPage.hpp"
#include "engines/detail/RenderPipe.hpp"
#include "engines/detail/RenderProcess.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

// A running Chromium and the connection to it. Ending it kills Chromium's
// process group first, so that the reader sees the pipe close, then reaps it.
struct Browser {
    std::unique_ptr<ChromiumProcess> process;
    std::unique_ptr<DevToolsPipe> pipe;

    ~Browser() {
        if (process) process->Kill();
        pipe.reset();
        if (process) {
            const pid_t pid = process->Pid();
            const std::string how = process->Reap();
            if (!how.empty())
                TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
                         "Chromium (pid " << pid << ") ended: " << how);
        }
    }
};

std::shared_ptr<Browser> StartBrowser(Launcher& launcher, Clock::time_point deadline) {
    auto browser = std::make_shared<Browser>();
    browser->process = ChromiumProcess::Start(launcher);
    browser->pipe =
        std::make_unique<DevToolsPipe>(browser->process->TakeCommandEnd(), browser->process->TakeEventEnd());
    Json version;
    try {
        version = browser->pipe->Call("Browser.getVersion", Json::object(),
                                      std::min(deadline, Clock::now() + Render::kStartLimit));
    } catch (const CallTimeOut&) {
        throw EngineTimeOut("Chromium (" + browser->process->Binary() + ") did not answer in time after its start");
    } catch (const PipeClosed& closed) {
        throw std::runtime_error("Chromium (" + browser->process->Binary() + ") ended at its start: " + closed.what());
    }
    TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
             "Chromium " << version.value("product", std::string("?")) << " started as pid " << browser->process->Pid()
                         << " (" << browser->process->Binary() << ", profile " << browser->process->Profile() << ")");
    return browser;
}

class RenderEngine : public Engine {
public:
    ~RenderEngine() override {
        {
            std::lock_guard<std::mutex> lock(watchMutex_);
            stopping_ = true;
        }
        watchChanged_.notify_all();
        if (watchdog_.joinable()) watchdog_.join();
        std::lock_guard<std::timed_mutex> lock(browserMutex_);
        browser_.reset();
    }

    void Start(std::size_t workers) override {
        ChromiumProcess::RemoveStaleProfiles();
        {
            std::lock_guard<std::timed_mutex> lock(browserMutex_);
            browser_ = StartBrowser(launcher_, Clock::now() + Render::kStartLimit);
        }
        TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource,
                 "render engine ready: up to " << workers << " pages at once");
        watchdog_ = std::thread([this] { Watch(); });
    }

    PageAnswer Handle(const PageRequest& request, std::size_t) override {
        PageOptions options;
        try {
            options = ReadOptions(request.options);
        } catch (const std::invalid_argument& bad) {
            PageAnswer answer;
            answer.dead = true;
            answer.why = bad.what();
            return answer;
        }
        const std::shared_ptr<Browser> browser = Current(request.deadline);
        try {
            return RenderPage(*browser->pipe, request.url, options, request.deadline);
        } catch (const PipeClosed& closed) {
            PageAnswer answer;
            answer.dead = true;
            answer.why = std::string("Chromium went away: ") + closed.what();
            return answer;
        }
    }

private:
    // The running Chromium, started anew when the last one is gone.
    std::shared_ptr<Browser> Current(Clock::time_point deadline) {
        std::unique_lock<std::timed_mutex> lock(browserMutex_, std::defer_lock);
        if (!lock.try_lock_until(deadline)) throw EngineTimeOut("Chromium was still being started at the deadline");
        if (browser_ && !browser_->pipe->Closed()) return browser_;
        if (browser_)
            TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, Render::kSource,
                     "Chromium (pid " << browser_->process->Pid() << ") is gone (" << browser_->pipe->WhyClosed()
                                      << "); starting a new one");
        else
            TARV_LOG(ServerLogger(), log4cplus::INFO_LOG_LEVEL, Render::kSource, "starting a new Chromium");
        browser_.reset();
        browser_ = StartBrowser(launcher_, deadline);
        return browser_;
    }

    // Once a watch interval: replaces a Chromium that ended (reaped as soon
    // as no request holds it any more), and kills one that does not answer
    // within the hang limit.
    void Watch() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(watchMutex_);
                if (watchChanged_.wait_for(lock, Render::kWatchInterval, [this] { return stopping_; })) return;
            }
            std::shared_ptr<Browser> browser;
            {
                std::unique_lock<std::timed_mutex> lock(browserMutex_, std::try_to_lock);
                if (!lock.owns_lock()) continue;  // a request is starting one
                if (browser_ && browser_->pipe->Closed()) {
                    TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, Render::kSource,
                             "Chromium (pid " << browser_->process->Pid() << ") is gone ("
                                              << browser_->pipe->WhyClosed() << "); starting a new one");
                    browser_.reset();
                    try {
                        browser_ = StartBrowser(launcher_, Clock::now() + Render::kStartLimit);
                    } catch (const std::exception& error) {
                        TARV_LOG(ServerLogger(), log4cplus::ERROR_LOG_LEVEL, Render::kSource,
                                 "no new Chromium (" << error.what() << "); the next request tries again");
                    }
                }
                browser = browser_;
            }
            if (!browser) continue;
            try {
                browser->pipe->Call("Browser.getVersion", Json::object(), Clock::now() + Render::kHangLimit);
            } catch (const CallTimeOut&) {
                TARV_LOG(ServerLogger(), log4cplus::ERROR_LOG_LEVEL, Render::kSource,
                         "Chromium (pid " << browser->process->Pid() << ") did not answer within "
                                          << Render::kHangLimit.count() << " ms; killing it");
                browser->process->Kill();
            } catch (const std::exception&) {
                // Closed meanwhile: the next round replaces it.
            }
        }
    }

    Launcher launcher_;  // first in, last out: Chromium is forked from its thread
    std::timed_mutex browserMutex_;
    std::shared_ptr<Browser> browser_;

    std::mutex watchMutex_;
    std::condition_variable watchChanged_;
    bool stopping_ = false;
    std::thread watchdog_;
};

}  // namespace

std::unique_ptr<Engine> MakeRenderEngine() { return std::make_unique<RenderEngine>(); }

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

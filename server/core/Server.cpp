#include "core/Server.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>

#include "core/Log.hpp"
#include "core/Reaper.hpp"
#include "core/detail/Shared.hpp"

namespace Tarv {
namespace Server {
namespace {

namespace bip = boost::interprocess;

// Removes every named object of the server; what is not there is skipped.
void RemoveNames(const detail::ServerNames& names) {
    bip::named_mutex::remove(names.ready.c_str());
    bip::shared_memory_object::remove(names.requestSegment.c_str());
    bip::named_mutex::remove(names.channelMutex.c_str());
    bip::named_condition::remove(names.channelCondition.c_str());
}

// Removes the server's names when start-up fails half-way.
class StartGuard {
public:
    explicit StartGuard(const detail::ServerNames& names) : names_(names) {}
    ~StartGuard() {
        if (armed_) RemoveNames(names_);
    }
    void Dismiss() { armed_ = false; }
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;

private:
    const detail::ServerNames& names_;
    bool armed_ = true;
};

}  // namespace

struct Server::Running {
    std::unique_ptr<bip::named_mutex> ready;
    std::vector<std::thread> threads;
    bool stopped = false;
    bool allFinished = true;

    // Stops and joins whatever workers were started (start-up failed).
    void Abandon(detail::Shared& shared) {
        shared.stopping = true;
        for (std::thread& thread : threads) thread.join();
        threads.clear();
    }
};

namespace {

class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    mode_t previous_;
};

}  // namespace

Server::Server(std::unique_ptr<Engine> engine, const Settings& settings)
    : pid_(static_cast<long>(::getpid())),
      shared_(std::make_shared<detail::Shared>(std::move(engine), settings, detail::ServerNames::For(pid_))),
      running_(std::make_unique<Running>()) {
    if (!shared_->engine) throw std::invalid_argument("browser-server: no engine");
    if (settings.workers == 0) throw std::invalid_argument("browser-server: at least one worker is needed");
    const detail::ServerNames& names = shared_->names;
    log4cplus::Logger logger = ServerLogger();

    RemoveNames(names);  // leftovers of an earlier server that had this process id
    for (const std::string& name : ReapLeftovers(ReapPolicy{pid_, false}))
        TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer, "removed leftover " << name);
    StartGuard guard(names);
    // The process's umask would strip the group bits from the named
    // semaphore (POSIX applies it to sem_open); no worker runs yet, so the
    // umask can be cleared while the objects are made.
    const ScopedUmask noMask(0);
    const bip::permissions permissions(settings.mode);
    shared_->requestSegment = Interprocess::Segment(bip::create_only, names.requestSegment.c_str(),
                                                    settings.segmentSize, nullptr, permissions);
    shared_->channel =
        detail::RequestChannel::Create(shared_->requestSegment, names.requestSegment.c_str(), permissions);
    shared_->engine->Start(settings.workers);
    running_->ready = std::make_unique<bip::named_mutex>(bip::create_only, names.ready.c_str(), permissions);

    try {
        running_->threads.reserve(settings.workers);
        for (std::size_t worker = 0; worker < settings.workers; ++worker) {
            {
                std::lock_guard<std::mutex> lock(shared_->runningMutex);
                ++shared_->running;
            }
            try {
                std::shared_ptr<detail::Shared> shared = shared_;
                running_->threads.emplace_back([shared, worker] { detail::RunWorker(shared, worker); });
            } catch (...) {
                std::lock_guard<std::mutex> lock(shared_->runningMutex);
                --shared_->running;
                throw;
            }
        }
    } catch (...) {
        running_->Abandon(*shared_);
        running_->ready.reset();
        throw;
    }
    guard.Dismiss();
    TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer,
             "serving as " << pid_ << ": request segment " << names.requestSegment << " of "
                           << settings.segmentSize << " bytes, " << settings.workers << " workers, engine time-out "
                           << settings.engineTimeout.count() << " ms");
}

bool Server::Stop() {
    if (running_->stopped) return running_->allFinished;
    running_->stopped = true;
    log4cplus::Logger logger = ServerLogger();
    const detail::ServerNames& names = shared_->names;

    bip::named_mutex::remove(names.ready.c_str());
    running_->ready.reset();
    TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer, "stopped accepting requests");

    shared_->stopping = true;
    try {
        shared_->channel->condition.notify_all();
    } catch (...) {
        // Idle workers notice the stop at their next bounded wait anyway.
    }
    bool allFinished = false;
    {
        std::unique_lock<std::mutex> lock(shared_->runningMutex);
        allFinished =
            shared_->runningChanged.wait_for(lock, Limits::kDrainLimit, [this] { return shared_->running == 0; });
        if (!allFinished)
            TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, kSourceServer,
                     shared_->running << " workers still busy after " << Limits::kDrainLimit.count()
                                      << " ms; leaving their requests unfinished");
    }
    for (std::thread& thread : running_->threads) {
        if (allFinished)
            thread.join();
        else
            thread.detach();
    }
    running_->threads.clear();

    bip::shared_memory_object::remove(names.requestSegment.c_str());
    bip::named_mutex::remove(names.channelMutex.c_str());
    bip::named_condition::remove(names.channelCondition.c_str());
    TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer,
             "stopped; removed " << names.requestSegment << " and its channel");
    // Tickets of this server that no client holds any more.
    for (const std::string& name : ReapLeftovers(ReapPolicy{pid_, false}))
        TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, kSourceServer, "removed leftover " << name);
    running_->allFinished = allFinished;
    return allFinished;
}

Server::~Server() {
    try {
        Stop();
    } catch (...) {
        // A destructor does not throw; Stop logs what it can.
    }
}

}  // namespace Server
}  // namespace Tarv

// The admission gate of the process: it bounds how many calling threads hold
// a client at once and maps each admitted thread to its client handle.
//
// Owns: the registry of admitted threads (one entry per thread: the client
// handle and the processor-time stamp of its admission), the mutex that
// guards it and the condition on which a blocked Add waits. Erasing an entry
// releases its client handle; errors raised by that release never leave the
// gate, they become ERROR records of the logger "Blocker".
//
// T is the client handle type. It must be copyable, nothrow movable, and its
// moved-from state must release nothing.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <iterator>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include "browser/TimeOutException.hpp"
#include "config/Log.hpp"
#include "gate/detail/BlockerConstants.hpp"

namespace Tarv {
namespace Browser {

template <typename T>
class Blocker {
    // Checked through placement new so that a handle whose release may raise
    // (a destructor that is not noexcept) still qualifies.
    static_assert(noexcept(::new (static_cast<void*>(nullptr)) T(std::declval<T&&>())),
                  "the gate moves a handle out of its entry before releasing it");

public:
    typedef std::map<boost::thread::id, std::pair<T, long>> Registry;

    // The one gate of the process; empty until Create builds it.
    static boost::shared_ptr<Blocker> instance;

    // Builds the gate on the first call; later calls return it and ignore
    // their bound.
    static boost::shared_ptr<Blocker>& Create(int bound);

    // A negative bound, compared as an unsigned number, admits without limit.
    explicit Blocker(int bound);
    ~Blocker();

    Blocker(const Blocker&) = delete;
    Blocker& operator=(const Blocker&) = delete;

    // Admits the calling thread with its client, waiting while the gate is
    // full. Each single wait lasts at most timeoutMs milliseconds (0: no
    // limit); when one runs out, TimeOutException. A thread already admitted
    // gets std::runtime_error, once it has passed the admission wait.
    void Add(const T& client, int timeoutMs);

    // The client registered for the calling thread; std::runtime_error if none.
    T Get();

    // The admission bound fixed at construction.
    std::int32_t Bound() const { return upbound; }

    // Drops the calling thread's entry, if any, and wakes one waiting thread.
    void Remove();

private:
    bool HasRoom() const;
    void Sweep();
    // Erases the entry at `position`, containing any error of the client's
    // release; true on success. Called with `mutex` held.
    bool RemoveFromMap(typename Registry::iterator position);

    log4cplus::Logger logger;
    std::int32_t upbound;
    Registry registry;
    boost::mutex mutex;
    boost::condition_variable condition;
};

template <typename T>
boost::shared_ptr<Blocker<T>> Blocker<T>::instance;

template <typename T>
boost::shared_ptr<Blocker<T>>& Blocker<T>::Create(int bound) {
    static boost::mutex _mutex;
    // The unlocked first test reads the handle atomically, as the store
    // under the lock writes it: threads racing into Create see either no
    // gate or a whole one.
    if (!boost::atomic_load(&instance)) {
        boost::lock_guard<boost::mutex> lock(_mutex);
        if (!instance) boost::atomic_store(&instance, boost::make_shared<Blocker>(bound));
    }
    return instance;
}

template <typename T>
Blocker<T>::Blocker(int bound)
    : logger(log4cplus::Logger::getInstance(detail::kBlockerLoggerName)), upbound(bound) {
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
             "Blocker => UPBOUND: " << upbound);
}

// Nothing else holds the gate once its last handle is gone, so the remaining
// entries are released here one by one, each through RemoveFromMap: an error
// of one client's release becomes an ERROR record instead of ending the
// process during unload or exit.
template <typename T>
Blocker<T>::~Blocker() {
    while (!registry.empty()) RemoveFromMap(registry.begin());
}

template <typename T>
bool Blocker<T>::HasRoom() const {
    const std::uint64_t bound = static_cast<std::uint64_t>(static_cast<std::int64_t>(upbound));
    return bound > static_cast<std::uint64_t>(registry.size());
}

template <typename T>
void Blocker<T>::Sweep() {
    for (auto position = registry.begin(); position != registry.end();) {
        const long now = static_cast<long>(std::clock());
        if (now - position->second.second > detail::kSweepAgeTicks) {
            const auto next = std::next(position);
            RemoveFromMap(position);
            position = next;
        } else {
            ++position;
        }
    }
}

template <typename T>
void Blocker<T>::Add(const T& client, int timeoutMs) {
    boost::unique_lock<boost::mutex> lock(mutex);
    while (!HasRoom()) {
        TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                 "Blocker::Add => Block");
        Sweep();
        if (HasRoom()) {
            condition.notify_all();
            continue;
        }
        if (timeoutMs != 0) {
            // A new deadline for every wait: the time-out bounds one wait,
            // not the whole stay in Add.
            const boost::posix_time::ptime deadline =
                boost::posix_time::microsec_clock::universal_time() +
                boost::posix_time::milliseconds(timeoutMs);
            if (!condition.timed_wait(lock, deadline)) {
                TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                         "Blocker::Add => TIMEOUT");
                throw TimeOutException();
            }
        } else {
            condition.wait(lock);
        }
    }
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker, "Blocker::Add");
    const boost::thread::id self = boost::this_thread::get_id();
    if (registry.find(self) != registry.end()) throw std::runtime_error(detail::kAlreadyAdded);
    registry.emplace(self, std::make_pair(client, static_cast<long>(std::clock())));
    TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
             "Blocker::Add: size() => " << registry.size());
}

template <typename T>
T Blocker<T>::Get() {
    boost::lock_guard<boost::mutex> lock(mutex);
    const auto position = registry.find(boost::this_thread::get_id());
    if (position == registry.end()) throw std::runtime_error(detail::kNotAdded);
    return position->second.first;
}

template <typename T>
void Blocker<T>::Remove() {
    {
        boost::lock_guard<boost::mutex> lock(mutex);
        TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                 "Blocker::Remove");
        const auto position = registry.find(boost::this_thread::get_id());
        if (position != registry.end()) {
            TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                     "Blocker::Remove: OK");
            RemoveFromMap(position);
        } else {
            TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                     "Blocker::Remove: NOT IN BLOCKER? ");
        }
        TARV_LOG(logger, log4cplus::DEBUG_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                 "Blocker::Remove: size() => " << registry.size());
    }
    condition.notify_one();
}

// The handle is moved out of its entry before the entry is erased, so the
// entry is gone whatever the release does, and the release runs here, where
// its error can be caught.
template <typename T>
bool Blocker<T>::RemoveFromMap(typename Registry::iterator position) {
    try {
        T released(std::move(position->second.first));
        registry.erase(position);
    } catch (const std::exception& error) {
        TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                 "Blocker::RemoveFromMap Exception: " << error.what());
        return false;
    } catch (...) {
        TARV_LOG(logger, log4cplus::ERROR_LOG_LEVEL, Tarv::Logging::kSourceBlocker,
                 "Blocker::RemoveFromMap EXCEPTION");
        return false;
    }
    return true;
}

}  // namespace Browser
}  // namespace Tarv

#include "browser/detail/Tickets.hpp"

#include <sys/times.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <random>
#include <thread>
#include <set>
#include <unordered_set>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>

#include "interprocess/Names.hpp"

namespace Tarv {
namespace Browser {
namespace detail {
namespace {

// Clients are still released while the static objects are destroyed at
// exit, after a function-local static made later would be gone: the set is
// built in static storage and never destroyed.
std::mutex liveMutex;
std::unordered_set<std::uint32_t>& LiveNumbers() {
    alignas(std::unordered_set<std::uint32_t>) static unsigned char storage[sizeof(std::unordered_set<std::uint32_t>)];
    static std::unordered_set<std::uint32_t>* live = ::new (storage) std::unordered_set<std::uint32_t>();
    return *live;
}

// The module's own generator, per thread: the process-wide rand() is left
// alone.
std::uint32_t Draw() {
    thread_local std::mt19937 generator([] {
        std::random_device device;
        std::seed_seq seed{device(), device(), static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id()))};
        return std::mt19937(seed);
    }());
    return static_cast<std::uint32_t>(generator() & 0x7fffffffu);
}

std::mutex objectsMutex;
std::set<std::string>& TicketsWithObjects() {
    alignas(std::set<std::string>) static unsigned char storage[sizeof(std::set<std::string>)];
    static std::set<std::string>* tickets = ::new (storage) std::set<std::string>();
    return *tickets;
}

// Runs at exit after every static object of the process is gone, so the gate
// has already released the clients it held; what is left belongs to threads
// that were still waiting.
__attribute__((destructor)) void RemoveTicketObjectsLeftAtExit() {
    std::lock_guard<std::mutex> lock(objectsMutex);
    for (const std::string& ticket : TicketsWithObjects()) {
        try {
            const Interprocess::ChannelNames names = Interprocess::MakeChannelNames("exit", ticket.c_str());
            boost::interprocess::named_condition::remove(names.condition.c_str());
            boost::interprocess::named_mutex::remove(names.mutex.c_str());
        } catch (...) {
        }
        boost::interprocess::shared_memory_object::remove(ticket.c_str());
    }
    TicketsWithObjects().clear();
}

}  // namespace

void NoteTicketObjects(const std::string& ticket) {
    std::lock_guard<std::mutex> lock(objectsMutex);
    TicketsWithObjects().insert(ticket);
}

void ForgetTicketObjects(const std::string& ticket) {
    std::lock_guard<std::mutex> lock(objectsMutex);
    TicketsWithObjects().erase(ticket);
}

std::uint64_t CombineHash(const std::string& text) {
    std::uint64_t seed = 0;
    for (char c : text) {
        const std::uint64_t byte = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<signed char>(c)));
        seed ^= byte + 0x9e3779b9ULL + (seed << 6) + (seed >> 2);
    }
    return seed;
}

std::uint32_t ReserveTicketNumber(const std::string& url) {
    static std::atomic<unsigned long> counter{0};
    const std::int64_t urlHash = static_cast<std::int64_t>(CombineHash(url));
    for (;;) {
        struct tms unused;
        const long ticks = static_cast<long>(times(&unused));
        // URL hash, clock reading and a random value, as the classic seed text,
        // then this process's id and a process-wide counter, which make the
        // text unique for every call in the process.
        char seedText[128] = {};
        std::snprintf(seedText, sizeof seedText, "%ld%ld%ld_%ld_%lu", static_cast<long>(urlHash), ticks,
                      static_cast<long>(Draw()), static_cast<long>(getpid()), counter.fetch_add(1));
        const std::uint32_t number = static_cast<std::uint32_t>(CombineHash(seedText) & 0xffffffffULL);
        std::lock_guard<std::mutex> lock(liveMutex);
        if (LiveNumbers().insert(number).second) return number;
    }
}

void ReleaseTicketNumber(std::uint32_t number) {
    std::lock_guard<std::mutex> lock(liveMutex);
    LiveNumbers().erase(number);
}

}  // namespace detail
}  // namespace Browser
}  // namespace Tarv

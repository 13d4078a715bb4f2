// A named first-in, first-out queue of records shared between processes.
//
// The queue (a list of owning pointers to records) lives in a managed
// shared-memory segment under the channel's name; the named mutex
// "<name>_Channel_Mutex" guards it and the named condition
// "<name>_Channel_Condition" announces appended records. A Channel object is a
// process-local handle on those three named objects.
#pragma once

#include <cstdint>

#include <boost/container/list.hpp>
#include <boost/function.hpp>
#include <boost/interprocess/smart_ptr/deleter.hpp>
#include <boost/interprocess/smart_ptr/unique_ptr.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/shared_ptr.hpp>

#include "interprocess/Permissions.hpp"
#include "interprocess/TimeOutException.hpp"

namespace Tarv {
namespace Interprocess {

template <class Segment, class Record>
class Channel {
public:
    using SegmentManager = typename Segment::segment_manager;
    // Owns one record in shared memory; releasing it destroys the record and
    // frees it through the segment manager its deleter names.
    using Element = boost::interprocess::unique_ptr<Record, boost::interprocess::deleter<Record, SegmentManager>>;
    using List = boost::container::list<Element, boost::interprocess::allocator<Element, SegmentManager>>;
    using Callback = boost::function<void(List&)>;

    // Opens an existing channel. Throws std::runtime_error("Unable to find " +
    // name) when the segment holds no list of that name; Boost.Interprocess
    // errors when the mutex or condition cannot be opened.
    static boost::shared_ptr<Channel> Get(Segment& segment, const char* name);

    // Creates the channel in a segment that does not hold `name` yet. Stale
    // named mutex and condition of the same names are removed first; the new
    // ones get `permissions` (by default owner-only).
    static boost::shared_ptr<Channel> Create(Segment& segment, const char* name,
                                             const boost::interprocess::permissions& permissions = OwnerOnly());

    // Wakes every waiter and removes the mutex's and condition's names. The
    // callback sees the records still queued (only when the lock was obtained
    // by the deadline). The list itself stays in the segment.
    static void Destroy(Segment& segment, const char* name, Callback callback, std::int32_t timeout);

    static void DummyCallback(List&) {}

    // Moves the oldest record into `out`, waiting up to `timeout` ms (0 means
    // kMaxTimeoutMs) for the lock and for a record. Throws TimeOutException,
    // leaving `out` unchanged, when the deadline passes.
    void Take(Element& out, std::int32_t timeout);

    // Fields, shared with writers: appending is done on them (see Append.hpp).
    List* list;                                     // inside this process's mapping; not owned
    boost::interprocess::named_mutex mutex;         // "<name>_Channel_Mutex"
    boost::interprocess::named_condition condition; // "<name>_Channel_Condition"

private:
    // Channel objects come only from Get and Create.
    template <class Mode>
    Channel(List* list, Mode mode, const char* mutexName, const char* conditionName);
    Channel(List* list, const char* mutexName, const char* conditionName,
            const boost::interprocess::permissions& permissions);
};

}  // namespace Interprocess
}  // namespace Tarv

#include "interprocess/detail/ChannelImpl.hpp"

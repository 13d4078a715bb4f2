// Implementation of Channel; included by Channel.hpp only.
#pragma once

#include <stdexcept>
#include <string>

#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>
#include <boost/optional.hpp>

#include "interprocess/Deadline.hpp"
#include "interprocess/Names.hpp"

namespace Tarv {
namespace Interprocess {

template <class Segment, class Record>
template <class Mode>
Channel<Segment, Record>::Channel(List* l, Mode mode, const char* mutexName, const char* conditionName)
    : list(l), mutex(mode, mutexName), condition(mode, conditionName) {}

template <class Segment, class Record>
Channel<Segment, Record>::Channel(List* l, const char* mutexName, const char* conditionName,
                                  const boost::interprocess::permissions& permissions)
    : list(l),
      mutex(boost::interprocess::create_only, mutexName, permissions),
      condition(boost::interprocess::create_only, conditionName, permissions) {}

template <class Segment, class Record>
boost::shared_ptr<Channel<Segment, Record>> Channel<Segment, Record>::Get(Segment& segment, const char* name) {
    const ChannelNames names = MakeChannelNames("Channel::Get", name);
    List* found = segment.template find<List>(name).first;
    if (!found) throw std::runtime_error(std::string("Unable to find ") + name);
    return boost::shared_ptr<Channel>(
        new Channel(found, boost::interprocess::open_only, names.mutex.c_str(), names.condition.c_str()));
}

template <class Segment, class Record>
boost::shared_ptr<Channel<Segment, Record>> Channel<Segment, Record>::Create(Segment& segment, const char* name,
                                 const boost::interprocess::permissions& permissions) {
    const ChannelNames names = MakeChannelNames("Channel::Create", name);
    boost::interprocess::named_mutex::remove(names.mutex.c_str());
    boost::interprocess::named_condition::remove(names.condition.c_str());
    List* made = segment.template construct<List>(name)(segment.get_segment_manager());
    return boost::shared_ptr<Channel>(new Channel(made, names.mutex.c_str(), names.condition.c_str(), permissions));
}

template <class Segment, class Record>
void Channel<Segment, Record>::Destroy(Segment& segment, const char* name, Callback callback, std::int32_t timeout) {
    const ChannelNames names = MakeChannelNames("Channel::Destroy", name);
    {
        boost::interprocess::named_mutex privateMutex(boost::interprocess::open_only, names.mutex.c_str());
        boost::shared_ptr<Channel> channel = Get(segment, name);

        const boost::posix_time::ptime deadline = DeadlineAfter(timeout);
        const bool locked = privateMutex.timed_lock(deadline);
        if (locked && callback && !channel->list->empty()) {
            try {
                callback(*channel->list);
            } catch (...) {
                // A callback's error does not stop the tear-down.
            }
        }
        try {
            boost::interprocess::named_condition wake(boost::interprocess::open_only, names.condition.c_str());
            wake.notify_all();
        } catch (...) {
            if (locked) privateMutex.unlock();
            throw;
        }
        if (locked) privateMutex.unlock();
    }
    boost::interprocess::named_condition::remove(names.condition.c_str());
    boost::interprocess::named_mutex::remove(names.mutex.c_str());
}

template <class Segment, class Record>
void Channel<Segment, Record>::Take(Element& out, std::int32_t timeout) {
    const boost::posix_time::ptime deadline = DeadlineAfter(timeout);
    boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex, deadline);
    if (!lock.owns()) throw TimeOutException();
    for (;;) {
        if (!list->empty()) {
            out = boost::move(list->front());
            list->pop_front();
            return;
        }
        if (!condition.timed_wait(lock, deadline)) throw TimeOutException();
    }
}

}  // namespace Interprocess
}  // namespace Tarv

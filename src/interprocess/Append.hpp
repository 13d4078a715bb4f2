// The writer's side of a channel: lock with a deadline, append at the back
// (ownership moves into the list), unlock, then notify.
#pragma once

#include <cstdint>

#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>

#include "interprocess/Deadline.hpp"
#include "interprocess/TimeOutException.hpp"

namespace Tarv {
namespace Interprocess {

enum class Wake { One, All };

// Throws TimeOutException (the element stays with the caller) when the
// channel's mutex is not obtained within `timeoutMs` (0 means kMaxTimeoutMs).
template <class ChannelT>
void Append(ChannelT& channel, typename ChannelT::Element& element, std::int32_t timeoutMs, Wake wake = Wake::One) {
    {
        boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(channel.mutex,
                                                                                DeadlineAfter(timeoutMs));
        if (!lock.owns()) throw TimeOutException();
        channel.list->push_back(boost::move(element));
    }
    if (wake == Wake::One)
        channel.condition.notify_one();
    else
        channel.condition.notify_all();
}

}  // namespace Interprocess
}  // namespace Tarv

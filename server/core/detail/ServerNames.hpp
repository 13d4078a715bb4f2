// The named objects a server with a given process id owns.
#pragma once

#include <string>

#include "browser/Protocol.hpp"
#include "interprocess/Names.hpp"

namespace Tarv {
namespace Server {
namespace detail {

struct ServerNames {
    std::string ready;             // named_mutex: exists while the server accepts requests
    std::string requestSegment;    // managed segment; the request channel has the same name
    std::string channelMutex;      // the request channel's named mutex
    std::string channelCondition;  // the request channel's named condition

    static ServerNames For(long pid) {
        const std::string segment =
            Interprocess::FormatName("browser-server", Browser::Protocol::kRequestSegmentFormat, pid);
        const Interprocess::ChannelNames channel = Interprocess::MakeChannelNames("browser-server", segment.c_str());
        return ServerNames{Interprocess::FormatName("browser-server", Browser::Protocol::kReadyMutexFormat, pid),
                           segment, channel.mutex, channel.condition};
    }
};

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

// Removal of the protocol's named objects that crashed processes left in
// /dev/shm: the server's ("Tarv_Browser_<pid>_...") and the tickets'
// ("Tarv_<server pid>_Ticket_<n>", with "_Channel_Mutex" and
// "_Channel_Condition").
#pragma once

#include <string>
#include <vector>

namespace Tarv {
namespace Server {

struct ReapPolicy {
    // Objects of this process id are removed (the server's own names from an
    // earlier life of the id; its tickets when no process maps them).
    long ownPid = 0;
    // Also remove tickets of live servers that no process maps: their client
    // died before releasing them.
    bool unmappedTicketsOfLiveServers = false;
};

// Every object bearing the process id of a process that no longer runs is
// removed, and what `policy` adds. A ticket some process still maps is never
// touched, whichever server id it bears: its client is alive. Returns the
// names removed (as they appear in /dev/shm).
std::vector<std::string> ReapLeftovers(const ReapPolicy& policy);

}  // namespace Server
}  // namespace Tarv

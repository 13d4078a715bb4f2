#include "core/Reaper.hpp"

#include <dirent.h>
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

namespace Tarv {
namespace Server {
namespace {

constexpr const char* kShmDirectory = "/dev/shm/";
constexpr const char* kSemaphorePrefix = "sem.";
constexpr const char* kServerPrefix = "Tarv_Browser_";
constexpr const char* kTicketMark = "_Ticket_";

struct Parsed {
    long pid = 0;
    bool ticket = false;
    std::string group;  // the ticket's name, for a ticket's objects
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Reads the decimal number at `at`; false when there is none.
bool Number(const std::string& text, std::size_t& at, long& out) {
    const std::size_t start = at;
    out = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - start < 12)
        out = out * 10 + (text[at++] - '0');
    return at > start;
}

// Recognises the protocol's names; false for anything else.
bool Parse(std::string name, Parsed& out) {
    if (StartsWith(name, kSemaphorePrefix)) name.erase(0, std::string(kSemaphorePrefix).size());
    std::size_t at = 0;
    if (StartsWith(name, kServerPrefix)) {
        at = std::string(kServerPrefix).size();
        return Number(name, at, out.pid) && at < name.size() && name[at] == '_';
    }
    if (!StartsWith(name, "Tarv_")) return false;
    at = 5;
    if (!Number(name, at, out.pid) || name.compare(at, std::string(kTicketMark).size(), kTicketMark) != 0) return false;
    at += std::string(kTicketMark).size();
    long number = 0;
    if (!Number(name, at, number)) return false;
    out.ticket = true;
    out.group = name.substr(0, at);
    return true;
}

bool Running(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH); }

// Names under /dev/shm that some process has mapped now.
std::set<std::string> MappedNames() {
    std::set<std::string> mapped;
    DIR* proc = opendir("/proc");
    if (!proc) return mapped;
    while (dirent* entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        std::ifstream maps(std::string("/proc/") + entry->d_name + "/maps");
        std::string line;
        while (std::getline(maps, line)) {
            const std::size_t at = line.find(kShmDirectory);
            if (at == std::string::npos) continue;
            std::string name = line.substr(at + std::string(kShmDirectory).size());
            const std::size_t deleted = name.find(" (deleted)");
            if (deleted != std::string::npos) name.erase(deleted);
            mapped.insert(name);
        }
    }
    closedir(proc);
    return mapped;
}

}  // namespace

std::vector<std::string> ReapLeftovers(const ReapPolicy& policy) {
    std::map<std::string, Parsed> found;
    if (DIR* shm = opendir(kShmDirectory)) {
        while (dirent* entry = readdir(shm)) {
            Parsed parsed;
            if (Parse(entry->d_name, parsed)) found.emplace(entry->d_name, parsed);
        }
        closedir(shm);
    }
    // A ticket is in use while any process maps one of its objects.
    std::set<std::string> groupsInUse;
    bool mappedRead = false;
    std::set<std::string> mapped;
    std::vector<std::string> removed;
    for (const auto& [name, parsed] : found) {
        bool remove = false;
        if (!parsed.ticket) {
            remove = parsed.pid == policy.ownPid || !Running(parsed.pid);
        } else if (parsed.pid == policy.ownPid || policy.unmappedTicketsOfLiveServers || !Running(parsed.pid)) {
            // A ticket belongs to its client, not to the server whose id it
            // bears: while any process maps one of its objects it stays, even
            // when that server is gone.
            if (!mappedRead) {
                mapped = MappedNames();
                for (const auto& [other, otherParsed] : found)
                    if (otherParsed.ticket && mapped.count(other)) groupsInUse.insert(otherParsed.group);
                mappedRead = true;
            }
            remove = groupsInUse.count(parsed.group) == 0;
        }
        if (remove && std::remove((kShmDirectory + name).c_str()) == 0) removed.push_back(name);
    }
    return removed;
}

}  // namespace Server
}  // namespace Tarv

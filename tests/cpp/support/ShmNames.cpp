#include "support/ShmNames.hpp"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace Tarv {
namespace Testing {

std::string RunPrefix() { return "TarvTest_" + std::to_string(static_cast<long>(getpid())) + "_"; }

std::string UniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    return RunPrefix() + std::to_string(counter++) + "_" + tag;
}

std::vector<std::string> ShmEntriesContaining(const std::string& fragment) {
    std::vector<std::string> found;
    if (DIR* dir = opendir("/dev/shm")) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.find(fragment) != std::string::npos) found.push_back(name);
        }
        closedir(dir);
    }
    return found;
}

int RemoveShmEntriesContaining(const std::string& fragment) {
    int removed = 0;
    for (const std::string& name : ShmEntriesContaining(fragment))
        if (std::remove(("/dev/shm/" + name).c_str()) == 0) ++removed;
    return removed;
}

}  // namespace Testing
}  // namespace Tarv

// Names unique to one test run, and what a run left in /dev/shm.
#pragma once

#include <string>
#include <vector>

namespace Tarv {
namespace Testing {

// "TarvTest_<pid>_<n>_<tag>": unique within the run (n counts up) and across
// concurrent runs (the process id).
std::string UniqueName(const std::string& tag);

// The prefix every UniqueName of this process starts with.
std::string RunPrefix();

// Entries of /dev/shm whose name contains `fragment` (POSIX semaphores appear
// there as "sem.<name>").
std::vector<std::string> ShmEntriesContaining(const std::string& fragment);

// Removes every /dev/shm entry whose name contains `fragment`; returns how many.
int RemoveShmEntriesContaining(const std::string& fragment);

// Removes, on destruction, every /dev/shm entry containing the fragment: put
// one at the top of a test so that a failing assertion still cleans up.
class ShmCleanup {
public:
    explicit ShmCleanup(std::string fragment) : fragment_(std::move(fragment)) {}
    ~ShmCleanup() { RemoveShmEntriesContaining(fragment_); }
    ShmCleanup(const ShmCleanup&) = delete;
    ShmCleanup& operator=(const ShmCleanup&) = delete;
    const std::string& fragment() const { return fragment_; }

private:
    std::string fragment_;
};

}  // namespace Testing
}  // namespace Tarv

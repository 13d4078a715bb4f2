// main() of every C++ test suite: runs the tests, then fails the suite when
// anything named by this run is still in /dev/shm (and removes it).
#include <cstdio>

#include <gtest/gtest.h>

#include "support/ShmNames.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    const auto left = Tarv::Testing::ShmEntriesContaining(Tarv::Testing::RunPrefix());
    for (const auto& name : left) std::fprintf(stderr, "left behind in /dev/shm: %s\n", name.c_str());
    if (!left.empty()) {
        Tarv::Testing::RemoveShmEntriesContaining(Tarv::Testing::RunPrefix());
        rc = 1;
    }
    return rc;
}

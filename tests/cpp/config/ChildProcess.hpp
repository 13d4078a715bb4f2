// Test support: running a test body in a forked child (its own environment,
// working directory and logging state), and scratch directories.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "support/ShmNames.hpp"

namespace Tarv {
namespace Testing {

// A fresh directory under the system's temporary directory, named uniquely
// for this run, removed with everything in it on destruction.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& tag)
        : path_(boost::filesystem::temp_directory_path() / UniqueName(tag)) {
        boost::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const boost::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    boost::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `body` in a forked child and expects it to finish without a failed
// assertion or an escaping exception. The child's failures are printed by
// the child itself; the parent sees its exit status.
template <typename Body>
void RunInChild(Body body) {
    std::fflush(nullptr);
    std::cout.flush();
    const pid_t child = fork();
    ASSERT_NE(-1, child) << "fork failed";
    if (child == 0) {
        int code = 0;
        try {
            body();
            code = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "child raised: %s\n", error.what());
            code = 2;
        } catch (...) {
            std::fprintf(stderr, "child raised a non-standard error\n");
            code = 2;
        }
        std::cout.flush();
        std::fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the child's checks failed (1) or it raised (2)";
}

}  // namespace Testing
}  // namespace Tarv

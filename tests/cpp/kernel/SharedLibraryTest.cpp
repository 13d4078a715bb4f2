// The native kernel as a shared library: loading it sets up logging,
// configuration and the gate, and a native caller gets a page back.
#include <gtest/gtest.h>

#include "kernel/Facade.hpp"
#include "support/ServerProcess.hpp"

TEST(SharedLibraryTest, LoadingBuildsTheGateAndARoundTripWorks) {
    ASSERT_TRUE(blocker);
    Tarv::Testing::ServerProcess server;
    const auto ticket = Push("script://echo/shared-library", true, static_cast<unsigned long>(server.pid()), {});
    ASSERT_FALSE(ticket->empty());
    EXPECT_EQ(Pop("script://echo/shared-library", *ticket)->lastModified, "echo");
}

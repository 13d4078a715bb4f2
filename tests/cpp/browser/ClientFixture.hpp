// A server child process and helpers shared by the client's tests.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "browser/Client.hpp"
#include "browser/TimeLimits.hpp"
#include "support/LogCapture.hpp"
#include "support/ServerProcess.hpp"
#include "support/ShmNames.hpp"

namespace Tarv {
namespace Testing {

// Every option with its default, as the module's conversion fills them in.
inline Browser::RequestOptions DefaultOptions() {
    Browser::RequestOptions options;
    options["snapshot"] = true;
    options["coordinate"] = false;
    options["keep"] = 2000;
    options["lumo"] = false;
    options["delay"] = 100;
    options["post"] = std::string();
    options["script"] = std::string();
    options["cookie"] = std::string();
    options["disable"] = std::string();
    return options;
}

// Shortens the client's time limits for one test and restores them after.
class ScopedTimeLimits {
public:
    explicit ScopedTimeLimits(const Browser::TimeLimits& limits) : saved_(Browser::CurrentTimeLimits()) {
        Browser::Testing::SetTimeLimits(limits);
    }
    ~ScopedTimeLimits() { Browser::Testing::SetTimeLimits(saved_); }

private:
    Browser::TimeLimits saved_;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { server = std::make_unique<ServerProcess>(); }
    void TearDown() override { server.reset(); }

    std::unique_ptr<Browser::Client> MakeClient(const std::string& url) {
        auto client = std::make_unique<Browser::Client>(url, static_cast<std::int32_t>(server->pid()));
        client->Init();
        return client;
    }

    // Push and collect through one client.
    boost::shared_ptr<Browser::Result> RoundTrip(const std::string& url,
                                                 const Browser::RequestOptions& options = DefaultOptions()) {
        auto client = MakeClient(url);
        const auto ticket = client->SendRequest(options);
        return client->GetResponse(*ticket);
    }

    bool TicketObjectsLeft() const { return !ShmEntriesContaining("Tarv_" + std::to_string(server->pid()) + "_Ticket_").empty(); }

    std::unique_ptr<ServerProcess> server;
};

}  // namespace Testing
}  // namespace Tarv

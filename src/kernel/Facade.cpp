// Push, Pop and ConfigLogger, the gate's scope guard, and the load hooks.
#include "kernel/Facade.hpp"

#include <chrono>
#include <exception>
#include <thread>

#include "browser/TimeLimits.hpp"
#include "browser/TimeOutException.hpp"
#include "config/Log.hpp"
#include "config/LoggerFactory.hpp"
#include "kernel/Main.hpp"

using Tarv::Browser::Client;
using Tarv::Browser::Result;
using Tarv::Browser::TimeOutException;
using Tarv::Logging::kSourceClient;

namespace {
constexpr log4cplus::LogLevel DEBUG = log4cplus::DEBUG_LOG_LEVEL;
constexpr log4cplus::LogLevel INFO = log4cplus::INFO_LOG_LEVEL;
constexpr log4cplus::LogLevel ERROR = log4cplus::ERROR_LOG_LEVEL;

// Push without a gate (the start-up failed) fails like any other push.
const char* const kNoGate = "Dead blocker???";

// Polls the server's liveness; raises TimeOutException when it never came up.
void WaitForServer(const Client& client, unsigned long pid, const log4cplus::Logger& root) {
    const Tarv::Browser::TimeLimits& limits = Tarv::Browser::CurrentTimeLimits();
    for (int test = 0; test < limits.serverPolls; ++test) {
        if (client.IsServerOK()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(limits.serverPollMs));
    }
    TARV_LOG(root, INFO, kSourceClient, "Wait for server (" << pid << ") failed.");
    throw TimeOutException();
}

}  // namespace

boost::shared_ptr<ClientBlocker> blocker;

boost::shared_ptr<std::string> Push(const std::string& url, bool wait, unsigned long pid,
                                    const Tarv::Browser::RequestOptions& options) {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    try {
        boost::shared_ptr<Client> client(new Client(url, static_cast<std::int32_t>(pid)));
        client->Init();
        if (wait && pid != 0) WaitForServer(*client, pid, root);
        boost::shared_ptr<ClientBlocker> gate = blocker;
        if (!gate) throw std::runtime_error(kNoGate);
        gate->Add(client, Tarv::Browser::CurrentTimeLimits().admissionMs);
        return client->SendRequest(options);
    } catch (const TimeOutException&) {
        TARV_LOG(root, INFO, kSourceClient, "Push: " << url << " TIMEOUT");
    } catch (const std::exception& e) {
        TARV_LOG(root, ERROR, kSourceClient, "Push: " << url << " Exception: " << e.what());
    } catch (...) {
        TARV_LOG(root, ERROR, kSourceClient, "Push: " << url << " EXCEPTION");
    }
    boost::shared_ptr<std::string> empty(new std::string());
    { ClientRAII release; }
    return empty;
}

boost::shared_ptr<Result> Pop(const std::string& url, const std::string& ticket) {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    try {
        boost::shared_ptr<ClientBlocker> gate = blocker;
        if (!gate) throw std::runtime_error(kNoGate);
        boost::shared_ptr<Result> result;
        {
            ClientRAII release;
            boost::shared_ptr<Client> client = gate->Get();
            result = client->GetResponse(ticket);
        }
        return result;
    } catch (const TimeOutException&) {
        TARV_LOG(root, INFO, kSourceClient, "Pop: " << url << " TIMEOUT");
        throw TimeOutException();
    } catch (const std::exception& e) {
        TARV_LOG(root, ERROR, kSourceClient, "Pop: exception: " << e.what());
        throw;
    } catch (...) {
        TARV_LOG(root, ERROR, kSourceClient, "Pop: EXCEPTION");
        throw;
    }
}

bool ConfigLogger(const std::string& name, const std::string& level, const std::string& file) {
    return Tarv::Logging::LoggerFactory::ConfigLogger(name, level, file);
}

int DebugLogEx(const char*, const char*, ...) { return 0; }

void SetupDebugFacilities() {}

ClientRAII::~ClientRAII() {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    TARV_LOG(root, DEBUG, kSourceClient, "~ClientRAII");
    try {
        boost::shared_ptr<ClientBlocker> gate = blocker;
        if (gate)
            gate->Remove();
        else
            TARV_LOG(root, DEBUG, kSourceClient, "!blocker");
    } catch (const std::exception& e) {
        TARV_LOG(root, ERROR, kSourceClient, "~ClientRAII Exception: " << e.what());
    } catch (...) {
        TARV_LOG(root, ERROR, kSourceClient, "~ClientRAII EXCEPTION");
    }
}

// Runs when the shared object is loaded, after its static initialisers. A
// failed start-up must not take the host down: the configurator has recorded
// it, `blocker` stays empty, and Push and Pop then fail.
__attribute__((constructor)) static void LibLoad() {
    try {
        Tarv::Browser::Initializer::InitClientMain(blocker);
    } catch (const std::exception& e) {
        TARV_LOG(log4cplus::Logger::getRoot(), ERROR, Tarv::Logging::kSourceMain,
                 "Start-up failed => " << e.what());
    } catch (...) {
        TARV_LOG(log4cplus::Logger::getRoot(), ERROR, Tarv::Logging::kSourceMain, "Start-up failed.");
    }
}

__attribute__((destructor)) static void LibUnload() {}

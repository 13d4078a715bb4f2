// The native entry points of the module: submit a page request on the calling
// thread, collect its result later on the same thread, re-target logging.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "browser/Client.hpp"
#include "browser/Options.hpp"
#include "browser/Records.hpp"
#include "gate/Blocker.hpp"

#define TARV_EXPORT __attribute__((visibility("default")))

using ClientBlocker = Tarv::Browser::Blocker<boost::shared_ptr<Tarv::Browser::Client>>;

// The admission gate of the process; filled at load time, empty when the
// start-up failed.
TARV_EXPORT extern boost::shared_ptr<ClientBlocker> blocker;

// Returns the ticket, or an empty string when the push failed (the reason is
// in the log). Never throws.
TARV_EXPORT boost::shared_ptr<std::string> Push(const std::string& url, bool wait, unsigned long pid,
                                                const Tarv::Browser::RequestOptions& options);

// Collects the result of the calling thread's push. Throws
// Tarv::Browser::TimeOutException or std::exception with the failure's text.
TARV_EXPORT boost::shared_ptr<Tarv::Browser::Result> Pop(const std::string& url, const std::string& ticket);

TARV_EXPORT bool ConfigLogger(const std::string& name, const std::string& level, const std::string& file);

// Exported hooks without effect.
TARV_EXPORT int DebugLogEx(const char*, const char*, ...);
TARV_EXPORT void SetupDebugFacilities();

// Releases the calling thread's entry in the gate when it ends. Never throws.
class ClientRAII {
public:
    ClientRAII() = default;
    ~ClientRAII();
    ClientRAII(const ClientRAII&) = delete;
    ClientRAII& operator=(const ClientRAII&) = delete;
};

// The DevTools connection to Chromium over its pipe: NUL-terminated JSON
// messages, commands written to Chromium's descriptor 3, answers and events
// read from its descriptor 4. One reader thread hands each answer to the
// mailbox of the caller that sent the command (by id) and each event to the
// mailbox its session is routed to (by sessionId). The process must ignore
// SIGPIPE (browser-server does), so that writing to a Chromium that ended
// fails instead of ending the server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "engines/detail/RenderProcess.hpp"

namespace Tarv {
namespace Server {
namespace detail {

using Json = nlohmann::json;
using PipeClock = std::chrono::steady_clock;

// Chromium closed the pipe (it ended), or the pipe broke.
class PipeClosed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No answer, or no room to write, by the deadline.
class CallTimeOut : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Chromium answered a command with an error.
class CallFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Messages for one user of the pipe, in the order they arrived.
struct Mailbox {
    std::deque<Json> messages;
};

class DevToolsPipe {
public:
    // Takes our ends of the pipe and starts the reader.
    DevToolsPipe(UniqueFd commands, UniqueFd events);
    // Stops the reader and closes the pipe.
    ~DevToolsPipe();
    DevToolsPipe(const DevToolsPipe&) = delete;
    DevToolsPipe& operator=(const DevToolsPipe&) = delete;

    std::shared_ptr<Mailbox> OpenMailbox() const { return std::make_shared<Mailbox>(); }

    // Writes a command (to the browser when `session` is empty, else to that
    // session) and returns its id; its answer goes to `box`, or nowhere when
    // `box` is null. Throws PipeClosed, or CallTimeOut when it cannot be
    // written by `deadline` (the pipe is closed then: a message cut short
    // would garble every later one).
    long Send(const std::shared_ptr<Mailbox>& box, const std::string& method, const Json& params,
              const std::string& session, PipeClock::time_point deadline);

    // From now on the events of `session` (and its detachment) go to `box`.
    void Route(const std::string& session, const std::shared_ptr<Mailbox>& box);
    void Unroute(const std::string& session);

    // The next message of `box`; nothing when none came by `deadline`.
    // Throws PipeClosed once the pipe is closed and the box is empty.
    std::optional<Json> Next(Mailbox& box, PipeClock::time_point deadline);

    // Sends a browser command and waits for its result. Throws CallTimeOut,
    // CallFailed or PipeClosed.
    Json Call(const std::string& method, const Json& params, PipeClock::time_point deadline);

    bool Closed() const { return closed_.load(); }
    std::string WhyClosed() const;

    // Closes the pipe for every user (nothing more is sent or delivered).
    void Close(const std::string& why);

private:
    void Read();
    void Dispatch(const std::string& text);
    void WriteAll(const std::string& text, PipeClock::time_point deadline);

    UniqueFd commands_;
    UniqueFd events_;
    UniqueFd wake_;  // eventfd that stops the reader

    std::atomic<long> nextId_{1};
    std::atomic<bool> closed_{false};
    std::timed_mutex writing_;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::string whyClosed_;
    std::map<long, std::weak_ptr<Mailbox>> waiting_;
    std::map<std::string, std::weak_ptr<Mailbox>> sessions_;

    std::thread reader_;
};

// The answer's result; throws CallFailed naming `method` when it is an error.
Json ResultOf(const Json& answer, const std::string& method);

// Replaces JSON escapes of unpaired UTF-16 surrogates (which JavaScript
// strings may hold and Chromium passes on) by \ufffd, so that the text parses.
std::string RepairLoneSurrogates(const std::string& text);

// Base64 as DevTools uses it for binary fields (standard alphabet, padded).
std::string Base64Encode(const std::string& bytes);
// Throws std::invalid_argument for text that is not Base64.
std::string Base64Decode(const std::string& text);

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

#include "engines/detail/RenderPipe.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/Log.hpp"
#include "engines/detail/RenderLimits.hpp"

namespace Tarv {
namespace Server {
namespace detail {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kReplacementEscape = "\\ufffd";
constexpr std::size_t kEscapeLength = 6;  // \uXXXX

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the escape \uXXXX at `at`, or -1 when there is none.
long EscapedUnit(const std::string& text, std::size_t at) {
    if (at + kEscapeLength > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t i = at + 2; i < at + kEscapeLength; ++i) {
        const int digit = HexValue(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

bool High(long unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool Low(long unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

int Base64Value(char c) {
    const char* found = std::strchr(kBase64Alphabet, c);
    return c != '\0' && found ? static_cast<int>(found - kBase64Alphabet) : -1;
}

int Milliseconds(PipeClock::duration left) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return static_cast<int>(std::min<long long>(std::max<long long>(ms, 0), 60000));
}

}  // namespace

DevToolsPipe::DevToolsPipe(UniqueFd commands, UniqueFd events)
    : commands_(std::move(commands)), events_(std::move(events)), wake_(::eventfd(0, EFD_CLOEXEC)) {
    if (wake_.Get() < 0) throw std::runtime_error(Errno("eventfd"));
    const int flags = ::fcntl(commands_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(commands_.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throw std::runtime_error(Errno("fcntl O_NONBLOCK"));
    reader_ = std::thread([this] { Read(); });
}

DevToolsPipe::~DevToolsPipe() {
    const std::uint64_t one = 1;
    const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
    (void)written;
    reader_.join();
    Close("the DevTools connection was closed");
}

std::string DevToolsPipe::WhyClosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return whyClosed_;
}

void DevToolsPipe::Close(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        whyClosed_ = why;
        closed_ = true;
    }
    arrived_.notify_all();
}

long DevToolsPipe::Send(const std::shared_ptr<Mailbox>& box, const std::string& method, const Json& params,
                        const std::string& session, PipeClock::time_point deadline) {
    if (closed_) throw PipeClosed(WhyClosed());
    const long id = nextId_++;
    Json message = Json::object();
    message["id"] = id;
    message["method"] = method;
    message["params"] = params.is_null() ? Json::object() : params;
    if (!session.empty()) message["sessionId"] = session;
    std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    text.push_back('\0');
    if (box) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_[id] = box;
    }
    try {
        WriteAll(text, deadline);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.erase(id);
        throw;
    }
    return id;
}

void DevToolsPipe::WriteAll(const std::string& text, PipeClock::time_point deadline) {
    std::unique_lock<std::timed_mutex> lock(writing_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) throw CallTimeOut("the DevTools pipe stayed busy with other commands");
    std::size_t done = 0;
    while (done < text.size()) {
        if (closed_) throw PipeClosed(WhyClosed());
        const ssize_t wrote = ::write(commands_.Get(), text.data() + done, text.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const PipeClock::duration left = deadline - PipeClock::now();
            if (left <= PipeClock::duration::zero()) {
                if (done > 0) Close("a command was cut short: Chromium stopped reading its pipe");
                throw CallTimeOut("Chromium does not read its commands");
            }
            pollfd writable{commands_.Get(), POLLOUT, 0};
            ::poll(&writable, 1, Milliseconds(left));
            continue;
        }
        Close(Errno("writing to Chromium failed"));
        throw PipeClosed(WhyClosed());
    }
}

void DevToolsPipe::Route(const std::string& session, const std::shared_ptr<Mailbox>& box) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[session] = box;
}

void DevToolsPipe::Unroute(const std::string& session) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(session);
}

std::optional<Json> DevToolsPipe::Next(Mailbox& box, PipeClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_until(lock, deadline, [&] { return !box.messages.empty() || closed_; });
    if (!box.messages.empty()) {
        Json message = std::move(box.messages.front());
        box.messages.pop_front();
        return message;
    }
    if (closed_) throw PipeClosed(whyClosed_);
    return std::nullopt;
}

Json DevToolsPipe::Call(const std::string& method, const Json& params, PipeClock::time_point deadline) {
    const std::shared_ptr<Mailbox> box = OpenMailbox();
    const long id = Send(box, method, params, std::string(), deadline);
    for (;;) {
        std::optional<Json> answer = Next(*box, deadline);
        if (!answer) {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting_.erase(id);
            throw CallTimeOut(method + " was not answered in time");
        }
        const auto answered = answer->find("id");
        if (answered != answer->end() && answered->is_number_integer() && answered->get<long>() == id)
            return ResultOf(*answer, method);
    }
}

void DevToolsPipe::Read() {
    std::string buffer;
    std::size_t scanned = 0;
    std::vector<char> chunk(Render::kReadChunk);
    for (;;) {
        pollfd watched[2] = {{events_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            Close(Errno("waiting for Chromium failed"));
            return;
        }
        if (watched[1].revents != 0) return;  // stopping
        if (watched[0].revents == 0) continue;
        const ssize_t got = ::read(events_.Get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            Close(Errno("reading from Chromium failed"));
            return;
        }
        if (got == 0) {
            Close("Chromium closed its end of the DevTools pipe");
            return;
        }
        buffer.append(chunk.data(), static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\0', scanned)) != std::string::npos; scanned = start) {
            Dispatch(buffer.substr(start, end - start));
            start = end + 1;
        }
        buffer.erase(0, start);
        scanned = buffer.size();
    }
}

void DevToolsPipe::Dispatch(const std::string& text) {
    Json message = Json::parse(text, nullptr, false);
    if (message.is_discarded()) message = Json::parse(RepairLoneSurrogates(text), nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        TARV_LOG(ServerLogger(), log4cplus::WARN_LOG_LEVEL, Render::kSource,
                 "dropped an unreadable message of " << text.size() << " bytes from Chromium");
        return;
    }
    std::shared_ptr<Mailbox> box;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto id = message.find("id");
        if (id != message.end() && id->is_number_integer()) {
            const auto waiting = waiting_.find(id->get<long>());
            if (waiting == waiting_.end()) return;  // an answer nobody waits for
            box = waiting->second.lock();
            waiting_.erase(waiting);
        } else {
            const auto method = message.find("method");
            if (method == message.end() || !method->is_string()) return;
            std::string session;
            const auto sessionId = message.find("sessionId");
            if (sessionId != message.end() && sessionId->is_string()) {
                session = sessionId->get<std::string>();
            } else if (*method == "Target.detachedFromTarget") {
                // Told to the browser; meant for the session that went away.
                const auto params = message.find("params");
                if (params != message.end() && params->is_object() && params->contains("sessionId") &&
                    (*params)["sessionId"].is_string())
                    session = (*params)["sessionId"].get<std::string>();
            }
            if (session.empty()) return;
            const auto routed = sessions_.find(session);
            if (routed == sessions_.end()) return;
            box = routed->second.lock();
        }
        if (!box) return;
        box->messages.push_back(std::move(message));
    }
    arrived_.notify_all();
}

Json ResultOf(const Json& answer, const std::string& method) {
    const auto error = answer.find("error");
    if (error != answer.end()) {
        std::string text = error->dump(-1, ' ', false, Json::error_handler_t::replace);
        if (error->is_object() && error->contains("message") && (*error)["message"].is_string())
            text = (*error)["message"].get<std::string>();
        throw CallFailed(method + ": " + text);
    }
    const auto result = answer.find("result");
    return result != answer.end() ? *result : Json::object();
}

std::string RepairLoneSurrogates(const std::string& text) {
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] != '\\' || at + 1 >= text.size()) {
            repaired.push_back(text[at++]);
            continue;
        }
        const long unit = EscapedUnit(text, at);
        if (unit < 0) {  // another escape: copy it whole, so that \\u stays text
            repaired.append(text, at, 2);
            at += 2;
            continue;
        }
        if (High(unit) && Low(EscapedUnit(text, at + kEscapeLength))) {
            repaired.append(text, at, 2 * kEscapeLength);
            at += 2 * kEscapeLength;
        } else if (High(unit) || Low(unit)) {
            repaired.append(kReplacementEscape);
            at += kEscapeLength;
        } else {
            repaired.append(text, at, kEscapeLength);
            at += kEscapeLength;
        }
    }
    return repaired;
}

std::string Base64Encode(const std::string& bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i)
            group = (group << 8) | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (std::size_t i = 0; i < 4; ++i)
            text.push_back(i <= count ? kBase64Alphabet[(group >> (18 - 6 * i)) & 0x3F] : '=');
    }
    return text;
}

std::string Base64Decode(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0) throw std::invalid_argument("not Base64");
        group = (group << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((group >> bits) & 0xFF));
        }
    }
    if (padding > 2 || (text.size() % 4) != 0) throw std::invalid_argument("not Base64");
    return bytes;
}

}  // namespace detail
}  // namespace Server
}  // namespace Tarv

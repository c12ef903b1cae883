#include "platform/flutter/UiClient.h"

#include "platform/flutter/UiSocket.h"
#include "platform/flutter/UiWire.h"

#include <boost/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace flutter {

UiClient::~UiClient() {
    Close();
}

namespace {

// Bounds a blocking call on the socket; zero lifts the bound.
void setTimeout(int fd, int option, std::chrono::milliseconds bound) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(bound.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((bound.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// A write of ours that the agent does not take for this long breaks the
// connection rather than hanging the UI.
constexpr std::chrono::milliseconds kSendBound{10000};
// How long a socket nobody listens on is tried again.
constexpr std::chrono::milliseconds kStartingBound{250};

}  // namespace

bool UiClient::Connect(const std::string& socketPath, std::chrono::milliseconds timeout) {
    error_.clear();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(addr.sun_path)) {
        error_ = "the UI socket path is empty or too long: " + socketPath;
        return false;
    }
    if (!CheckUiSocketOwner(socketPath, error_)) return false;
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + timeout;
    int fd = -1;
    while (true) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            error_ = std::string("cannot create a socket: ") + std::strerror(errno);
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) break;
        const int e = errno;
        ::close(fd);
        fd = -1;
        // A full backlog passes (the agent takes its connections at once),
        // and a refusal in the first moments: an agent that is starting has
        // its socket file a moment before it listens.
        const auto now = std::chrono::steady_clock::now();
        const bool retry = e == EAGAIN || (e == ECONNREFUSED && now < started + kStartingBound);
        if (!retry || now >= deadline) {
            error_ = e == ECONNREFUSED ? "nobody serves the UI socket " + socketPath + " (is lumivex running?)"
                                       : "cannot connect to the UI socket " + socketPath + ": " + std::strerror(e);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid()) {
        error_ = "refusing the UI socket " + socketPath + ": it is served by another user's process";
        ::close(fd);
        return false;
    }
    // The agent's first frame says whether it serves us.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    setTimeout(fd, SO_RCVTIMEO, std::max(left, std::chrono::milliseconds(1)));
    auto first = wire::readFrame(fd);
    setTimeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(0));
    if (!first || (first->kind != wire::FrameKind::Hello && first->kind != wire::FrameKind::Close)) {
        error_ = "no greeting from the agent at " + socketPath + " within " + std::to_string(timeout.count()) + " ms";
        ::close(fd);
        return false;
    }
    if (first->kind == wire::FrameKind::Close) {
        error_ = "the agent at " + socketPath + " refused the connection: " +
                 std::string(first->payload.begin(), first->payload.end());
        ::close(fd);
        return false;
    }
    entrypointArguments_.clear();
    try {
        const EncodableValue args = StandardMessageCodec::GetInstance().DecodeMessage(first->payload);
        if (const auto* list = args.getIf<EncodableList>()) {
            for (const auto& a : *list) {
                if (const auto* text = a.getIf<std::string>()) entrypointArguments_.push_back(*text);
            }
        }
    } catch (const CodecError&) {
        // Arguments that cannot be read are none.
    }
    setTimeout(fd, SO_SNDTIMEO, kSendBound);
    fd_ = fd;
    closed_ = false;
    closeReason_.clear();
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

std::string UiClient::closeReason() const {
    std::lock_guard lock(mutex_);
    return closeReason_;
}

void UiClient::Close() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool UiClient::connected() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0 && !closed_;
}

void UiClient::readLoop() {
    while (true) {
        auto frame = wire::readFrame(fd_);
        if (!frame) break;
        std::lock_guard lock(mutex_);
        if (frame->kind == wire::FrameKind::Reply) {
            auto it = replies_.find(frame->id);
            if (it != replies_.end()) it->second = std::move(frame->payload);
        } else if (frame->kind == wire::FrameKind::Close) {
            closeReason_.assign(frame->payload.begin(), frame->payload.end());
        } else if (frame->kind == wire::FrameKind::Message) {
            if (frame->id != 0) {
                // The agent called a method of ours: we serve none.
                wire::Frame r;
                r.kind = wire::FrameKind::Reply;
                r.id = frame->id;
                auto bytes = wire::encodeFrame(r);
                std::lock_guard wl(writeMutex_);
                wire::writeAll(fd_, bytes.data(), bytes.size());
                continue;
            }
            UiEvent event;
            event.channel = frame->channel;
            if (frame->payload.empty()) {
                event.kind = UiEvent::Kind::EndOfStream;
            } else {
                try {
                    MethodReply r = StandardMethodCodec::GetInstance().DecodeEnvelope(frame->payload.data(),
                                                                                      frame->payload.size());
                    event.kind = r.kind == MethodReply::Kind::Error ? UiEvent::Kind::Error : UiEvent::Kind::Success;
                    event.value = std::move(r.value);
                    event.errorCode = std::move(r.errorCode);
                    event.errorMessage = std::move(r.errorMessage);
                } catch (const CodecError& e) {
                    event.kind = UiEvent::Kind::Error;
                    event.errorCode = std::string("undecodable event: ") + e.what();
                }
            }
            events_.push_back(std::move(event));
        }
        cv_.notify_all();
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    cv_.notify_all();
}

std::optional<ByteBuffer> UiClient::SendRaw(const std::string& channel, const ByteBuffer& payload,
                                            std::chrono::milliseconds timeout) {
    wire::Frame f;
    f.kind = wire::FrameKind::Message;
    f.channel = channel;
    f.payload = payload;
    {
        std::lock_guard lock(mutex_);
        if (fd_ < 0 || closed_) return std::nullopt;
        f.id = nextId_++;
        replies_[f.id];
    }
    auto bytes = wire::encodeFrame(f);
    bool written;
    {
        std::lock_guard wl(writeMutex_);
        written = wire::writeAll(fd_, bytes.data(), bytes.size());
    }
    if (!written) {
        // Part of a frame may have gone: nothing sane can follow it.
        ::shutdown(fd_, SHUT_RDWR);
        std::lock_guard lock(mutex_);
        replies_.erase(f.id);
        return std::nullopt;
    }
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return replies_[f.id].has_value() || closed_; });
    auto out = std::move(replies_[f.id]);
    replies_.erase(f.id);
    return out;
}

std::optional<MethodReply> UiClient::InvokeMethod(const std::string& channel, const std::string& method,
                                                  const EncodableValue& arguments,
                                                  std::chrono::milliseconds timeout) {
    auto raw = SendRaw(channel, StandardMethodCodec::GetInstance().EncodeMethodCall(MethodCall(method, arguments)),
                       timeout);
    if (!raw) return std::nullopt;
    try {
        return StandardMethodCodec::GetInstance().DecodeEnvelope(raw->data(), raw->size());
    } catch (const CodecError&) {
        return std::nullopt;
    }
}

std::optional<MethodReply> UiClient::Listen(const std::string& channel, std::chrono::milliseconds timeout,
                                            const EncodableValue& arguments) {
    return InvokeMethod(channel, "listen", arguments, timeout);
}

std::optional<MethodReply> UiClient::Cancel(const std::string& channel, std::chrono::milliseconds timeout) {
    return InvokeMethod(channel, "cancel", EncodableValue(), timeout);
}

std::optional<UiEvent> UiClient::NextEvent(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return !events_.empty() || closed_; });
    if (events_.empty()) return std::nullopt;
    UiEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

bool UiClient::WaitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return closed_; });
}

void UiClient::SendQuit() {
    wire::Frame f;
    f.kind = wire::FrameKind::Quit;
    auto bytes = wire::encodeFrame(f);
    std::lock_guard wl(writeMutex_);
    if (fd_ >= 0) wire::writeAll(fd_, bytes.data(), bytes.size());
}

namespace {

EncodableValue fromJson(const boost::json::value& v, int depth) {
    if (depth > 64) throw std::invalid_argument("JSON nested too deeply");
    switch (v.kind()) {
        case boost::json::kind::null:
            return EncodableValue();
        case boost::json::kind::bool_:
            return EncodableValue(v.get_bool());
        case boost::json::kind::int64: {
            std::int64_t i = v.get_int64();
            if (i >= INT32_MIN && i <= INT32_MAX) return EncodableValue(static_cast<std::int32_t>(i));
            return EncodableValue(i);
        }
        case boost::json::kind::uint64: {
            std::uint64_t u = v.get_uint64();
            if (u > static_cast<std::uint64_t>(INT64_MAX)) return EncodableValue(static_cast<double>(u));
            return EncodableValue(static_cast<std::int64_t>(u));
        }
        case boost::json::kind::double_:
            return EncodableValue(v.get_double());
        case boost::json::kind::string:
            return EncodableValue(std::string(v.get_string()));
        case boost::json::kind::array: {
            EncodableList list;
            for (const auto& e : v.get_array()) list.push_back(fromJson(e, depth + 1));
            return EncodableValue(std::move(list));
        }
        case boost::json::kind::object: {
            EncodableMap map;
            for (const auto& m : v.get_object())
                map[EncodableValue(std::string(m.key()))] = fromJson(m.value(), depth + 1);
            return EncodableValue(std::move(map));
        }
    }
    return EncodableValue();
}

boost::json::value toJson(const EncodableValue& value) {
    return std::visit(
        [](const auto& v) -> boost::json::value {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return nullptr;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return boost::json::value(v);
            } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::int32_t> ||
                                 std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>) {
                return boost::json::value(v);
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                boost::json::object o;
                for (const auto& [k, e] : v) {
                    const auto* s = k.template getIf<std::string>();
                    o[s ? *s : boost::json::serialize(toJson(k))] = toJson(e);
                }
                return o;
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                boost::json::array a;
                for (const auto& e : v) a.push_back(toJson(e));
                return a;
            } else {
                boost::json::array a;
                for (const auto& e : v) a.push_back(boost::json::value(e));
                return a;
            }
        },
        value.variant());
}

}  // namespace

EncodableValue encodableFromJson(const std::string& text) {
    boost::system::error_code ec;
    boost::json::value v = boost::json::parse(text, ec);
    if (ec) throw std::invalid_argument("invalid JSON: " + ec.message());
    return fromJson(v, 0);
}

std::string encodableToJson(const EncodableValue& value) {
    return boost::json::serialize(toJson(value));
}

}  // namespace flutter

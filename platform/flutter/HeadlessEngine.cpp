#include "platform/flutter/HeadlessEngine.h"

#include "platform/flutter/StandardCodec.h"
#include "platform/flutter/UiWire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace flutter {
namespace {

using Clock = std::chrono::steady_clock;

const char* kEndingReason = "the agent is ending";
const char* kBusyReason = "another UI is connected to this agent";

// A close frame on a socket that holds nothing else of ours: it is small
// enough for any socket buffer, so one non-blocking send does.
void sendClose(int fd, const std::string& reason) {
    wire::Frame f;
    f.kind = wire::FrameKind::Close;
    f.payload.assign(reason.begin(), reason.end());
    const auto bytes = wire::encodeFrame(f);
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void refuse(int fd, const std::string& reason) {
    sendClose(fd, reason);
    ::close(fd);
}

}  // namespace

struct HeadlessEngine::Core : BinaryMessenger, std::enable_shared_from_this<Core> {
    Core(win32::MessageQueue& q, UiLimits l) : queue(q), limits(l) {}

    win32::MessageQueue& queue;
    const UiLimits limits;
    std::vector<std::uint8_t> hello;  // the hello frame, encoded

    // Declared before the handlers so that they outlive them: a stream
    // handler's sink may still be sending while the handlers are destroyed.
    // Guards the connection below; never held across a blocking call.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;  // queue drained, connection gone
    int connFd = -1;
    std::uint64_t generation = 0;  // bumped per connection
    std::deque<std::vector<std::uint8_t>> out;
    std::size_t outOffset = 0;  // bytes of out.front() already sent
    std::size_t outBytes = 0;
    Clock::time_point lastTaken;  // when the UI last took bytes (or the queue filled)
    std::optional<std::string> dropReason;  // set by a sender; the I/O thread drops
    bool dropEndsSession = true;
    std::atomic<bool> stopped{false};
    std::atomic<bool> ending{false};

    int wakePipe[2] = {-1, -1};
    std::mutex listenerMutex;
    UiSocketListener listener;

    std::mutex handlerMutex;
    std::map<std::uint32_t, BinaryReply> pendingReplies;  // our sends awaiting the UI's reply
    std::uint32_t nextId = 1;
    std::function<void()> quitHandler;
    std::map<std::string, BinaryMessageHandler> handlers;
    std::vector<std::string> channelOrder;  // first registration of each name

    // Frames posted to the platform thread and not yet handled there.
    std::mutex pendingMutex;
    std::size_t pendingFrames = 0;
    std::size_t pendingBytes = 0;
    std::atomic<bool> readerHeld{false};

    void wake() const {
        if (wakePipe[1] < 0) return;
        const char b = 1;
        (void)!::write(wakePipe[1], &b, 1);
    }

    // Writes what the socket takes now; false when the UI is gone. Called
    // with `mutex` held.
    bool flushLocked() {
        while (!out.empty()) {
            const auto& front = out.front();
            const ssize_t n = ::send(connFd, front.data() + outOffset, front.size() - outOffset,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                return false;
            }
            lastTaken = Clock::now();
            outOffset += static_cast<std::size_t>(n);
            outBytes -= static_cast<std::size_t>(n);
            if (outOffset == front.size()) {
                out.pop_front();
                outOffset = 0;
            }
        }
        changed.notify_all();
        return true;
    }

    // Queues bytes for the UI and writes what the socket takes at once; never
    // waits. With `onlyGeneration`, only the connection of that generation.
    bool enqueue(std::vector<std::uint8_t> bytes, std::uint64_t onlyGeneration = 0) {
        std::lock_guard lock(mutex);
        if (connFd < 0 || stopped || dropReason) return false;
        if (onlyGeneration != 0 && onlyGeneration != generation) return false;
        if (outBytes > 0 && outBytes + bytes.size() > limits.maxQueuedBytes) {
            dropReason = "more than " + std::to_string(limits.maxQueuedBytes) + " bytes waited for the UI";
            wake();
            return false;
        }
        const bool wasEmpty = out.empty();
        if (wasEmpty) lastTaken = Clock::now();
        outBytes += bytes.size();
        out.push_back(std::move(bytes));
        if (!wasEmpty) return true;  // the I/O thread is already waiting for room
        if (!flushLocked()) {
            dropReason = "";  // the UI went away
            wake();
            return false;
        }
        if (!out.empty()) wake();  // the rest goes when the socket has room
        return true;
    }

    void Send(const std::string& channel, const std::uint8_t* message, std::size_t size,
              BinaryReply reply) const override {
        wire::Frame frame;
        frame.kind = wire::FrameKind::Message;
        frame.channel = channel;
        if (size > 0) frame.payload.assign(message, message + size);
        auto* self = const_cast<Core*>(this);
        if (reply) {
            std::lock_guard lock(self->handlerMutex);
            frame.id = self->nextId++;
            if (self->nextId == 0) self->nextId = 1;
            self->pendingReplies[frame.id] = std::move(reply);
        }
        if (!self->enqueue(wire::encodeFrame(frame)) && frame.id != 0) {
            std::lock_guard lock(self->handlerMutex);
            self->pendingReplies.erase(frame.id);
        }
    }

    void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override {
        std::lock_guard lock(handlerMutex);
        if (handler) {
            if (std::find(channelOrder.begin(), channelOrder.end(), channel) == channelOrder.end()) {
                channelOrder.push_back(channel);
            }
            handlers[channel] = std::move(handler);
        } else {
            handlers.erase(channel);
        }
    }

    // Runs on the platform thread.
    void dispatch(wire::Frame frame, std::uint64_t gen) {
        if (frame.kind == wire::FrameKind::Message) {
            std::weak_ptr<Core> weak = weak_from_this();
            std::uint32_t id = frame.id;
            BinaryReply reply = [weak, id, gen](const std::uint8_t* data, std::size_t size) {
                auto core = weak.lock();
                if (!core || id == 0) return;
                wire::Frame r;
                r.kind = wire::FrameKind::Reply;
                r.id = id;
                if (size > 0) r.payload.assign(data, data + size);
                core->enqueue(wire::encodeFrame(r), gen);
            };
            if (ending) {
                // Nothing new starts while the agent ends.
                ByteBuffer bytes = StandardMethodCodec::GetInstance().EncodeErrorEnvelope("The agent is ending");
                reply(bytes.data(), bytes.size());
                return;
            }
            BinaryMessageHandler handler;
            {
                std::lock_guard lock(handlerMutex);
                auto it = handlers.find(frame.channel);
                if (it != handlers.end()) handler = it->second;
            }
            if (!handler) {
                reply(nullptr, 0);  // nobody listens: "not implemented"
                return;
            }
            handler(frame.payload.data(), frame.payload.size(), std::move(reply));
        } else if (frame.kind == wire::FrameKind::Reply) {
            BinaryReply reply;
            {
                std::lock_guard lock(handlerMutex);
                auto it = pendingReplies.find(frame.id);
                if (it == pendingReplies.end()) return;
                reply = std::move(it->second);
                pendingReplies.erase(it);
            }
            reply(frame.payload.data(), frame.payload.size());
        } else {
            requestQuit();
        }
    }

    void requestQuit() {
        std::function<void()> handler;
        {
            std::lock_guard lock(handlerMutex);
            handler = quitHandler;
        }
        if (handler) {
            handler();
        } else {
            queue.PostQuit(0);
        }
    }

    // Posts a frame to the platform thread unless too much waits there.
    bool post(wire::Frame& frame, std::uint64_t gen) {
        const std::size_t bytes = frame.payload.size() + frame.channel.size();
        {
            std::lock_guard lock(pendingMutex);
            if (pendingFrames >= kMaxPendingFrames || pendingBytes >= kMaxPendingBytes) {
                readerHeld = true;
                return false;
            }
            ++pendingFrames;
            pendingBytes += bytes;
        }
        std::weak_ptr<Core> weak = weak_from_this();
        queue.Post([weak, f = std::move(frame), gen, bytes]() mutable {
            auto core = weak.lock();
            if (!core) return;
            core->handled(bytes);
            core->dispatch(std::move(f), gen);
        });
        return true;
    }

    void handled(std::size_t bytes) {
        {
            std::lock_guard lock(pendingMutex);
            --pendingFrames;
            pendingBytes -= bytes;
        }
        if (readerHeld.exchange(false)) wake();
    }

    void ioLoop();
};

namespace {

// The connection the I/O thread serves, beside what senders share in Core.
struct Served {
    int fd = -1;
    std::uint64_t generation = 0;
    wire::FrameReader reader;
    std::deque<wire::Frame> held;  // read, waiting for room on the platform thread
    std::size_t framesDone = 0;
    Clock::time_point frameSince;  // connected, or a frame begun
    bool midFrame = false;
};

}  // namespace

void HeadlessEngine::Core::ioLoop() {
    const int listenFd = listener.fd();
    Served served;

    // Ends the served connection: a close frame when the queue stands at a
    // frame's boundary, the socket closed, what waited for it dropped.
    auto drop = [&](const std::string& reason, bool endsSession) {
        {
            std::lock_guard lock(mutex);
            if (out.empty() && !reason.empty()) sendClose(served.fd, reason);
            ::close(served.fd);
            connFd = -1;
            out.clear();
            outOffset = 0;
            outBytes = 0;
            dropReason.reset();
            changed.notify_all();
        }
        {
            std::lock_guard lock(handlerMutex);
            pendingReplies.clear();
        }
        if (!reason.empty() && endsSession) std::fprintf(stderr, "UI connection closed: %s\n", reason.c_str());
        const bool wasUi = served.framesDone > 0;
        served = Served();
        if (endsSession && wasUi && !stopped) {
            std::weak_ptr<Core> weak = weak_from_this();
            queue.Post([weak] {
                if (auto core = weak.lock()) core->requestQuit();
            });
        }
    };

    while (!stopped) {
        // Frames read earlier go to the platform thread first.
        while (!served.held.empty() && post(served.held.front(), served.generation)) served.held.pop_front();
        const bool reading = served.fd >= 0 && served.held.empty();
        const auto now = Clock::now();
        // The time of a frame's completion counts only while we read.
        if (served.fd >= 0 && !reading) served.frameSince = now;

        bool wantOut = false;
        Clock::time_point deadline = Clock::time_point::max();
        if (served.fd >= 0) {
            std::lock_guard lock(mutex);
            wantOut = !out.empty();
            if (wantOut) deadline = lastTaken + limits.stall;
        }
        if (served.fd >= 0 && (served.framesDone == 0 || served.midFrame)) {
            deadline = std::min(deadline, served.frameSince + limits.frame);
        }

        pollfd fds[3] = {{wakePipe[0], POLLIN, 0}, {listenFd, POLLIN, 0}, {served.fd, 0, 0}};
        if (reading) fds[2].events |= POLLIN;
        if (wantOut) fds[2].events |= POLLOUT;
        int timeoutMs = -1;
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 60000));
        }
        // A connection we neither read nor write is left out: its hang-up
        // would wake the loop again and again.
        const nfds_t count = served.fd >= 0 && (reading || wantOut) ? 3 : 2;
        if (::poll(fds, count, timeoutMs) < 0 && errno != EINTR) {
            std::fprintf(stderr, "UI socket: poll failed: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(wakePipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (stopped) break;

        // New connections: the first is served, the others refused at once.
        if (fds[1].revents != 0) {
            for (;;) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                if (served.fd >= 0 || ending) {
                    refuse(fd, ending ? kEndingReason : kBusyReason);
                    continue;
                }
                served.fd = fd;
                served.frameSince = Clock::now();
                {
                    std::lock_guard lock(mutex);
                    connFd = fd;
                    served.generation = ++generation;
                }
                enqueue(hello);
            }
        }
        if (served.fd < 0) continue;

        // What the UI sent.
        if (count == 3 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && reading) {
            std::uint8_t buffer[64 * 1024];
            const ssize_t n = ::recv(served.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                drop("", true);  // the UI went away
                continue;
            }
            if (n > 0) {
                served.reader.feed(buffer, static_cast<std::size_t>(n));
                bool malformed = false;
                const std::size_t doneBefore = served.framesDone;
                while (auto frame = served.reader.next()) {
                    ++served.framesDone;
                    // Hello and close frames go from the agent to the UI only.
                    if (frame->kind == wire::FrameKind::Hello || frame->kind == wire::FrameKind::Close) {
                        malformed = true;
                        break;
                    }
                    served.held.push_back(std::move(*frame));
                }
                if (malformed || served.reader.failed()) {
                    drop("a malformed frame", true);
                    continue;
                }
                // A frame begun in this chunk is timed from now.
                const bool mid = served.reader.midFrame();
                if (mid && (!served.midFrame || served.framesDone > doneBefore)) served.frameSince = Clock::now();
                served.midFrame = mid;
            }
        }

        // What the UI takes, and how long it has left bytes waiting. An
        // empty reason: the UI went away, and no close frame is sent.
        std::optional<std::string> reason;
        bool endsSession = true;
        {
            std::lock_guard lock(mutex);
            if (!out.empty() && !dropReason && !flushLocked()) dropReason = "";
            if (dropReason) {
                reason = dropReason;
                endsSession = dropEndsSession;
                dropEndsSession = true;
            } else if (!out.empty() && Clock::now() - lastTaken >= limits.stall) {
                reason = "the UI did not take its bytes for " + std::to_string(limits.stall.count()) + " ms";
            }
        }
        if (reason) {
            drop(*reason, endsSession);
            continue;
        }
        if ((served.framesDone == 0 || served.midFrame) && Clock::now() - served.frameSince >= limits.frame) {
            drop(std::string(served.framesDone == 0 ? "no frame" : "a frame not completed") + " within " +
                     std::to_string(limits.frame.count()) + " ms",
                 true);
        }
    }
    if (served.fd >= 0) drop(kEndingReason, false);
}

HeadlessEngine::HeadlessEngine(win32::MessageQueue& platformQueue, std::string socketPath, UiLimits limits)
    : core_(std::make_shared<Core>(platformQueue, limits)), socketPath_(std::move(socketPath)) {}

HeadlessEngine::~HeadlessEngine() {
    core_->stopped = true;
    core_->wake();
    if (thread_.joinable()) thread_.join();
    {
        // Only a socket this engine bound is removed.
        std::lock_guard lock(core_->listenerMutex);
        core_->listener.Close();
    }
    for (int& fd : core_->wakePipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void HeadlessEngine::SetEntrypointArguments(std::vector<std::string> arguments) {
    entrypointArguments_ = std::move(arguments);
}

bool HeadlessEngine::Start() {
    std::string error;
    {
        std::lock_guard lock(core_->listenerMutex);
        if (!core_->listener.Open(socketPath_, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
    }
    if (::pipe2(core_->wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "cannot create a pipe: %s\n", std::strerror(errno));
        std::lock_guard lock(core_->listenerMutex);
        core_->listener.Close();
        return false;
    }
    ::fcntl(core_->listener.fd(), F_SETFL, ::fcntl(core_->listener.fd(), F_GETFL) | O_NONBLOCK);
    EncodableList arguments;
    for (const auto& a : entrypointArguments_) arguments.emplace_back(a);
    wire::Frame hello;
    hello.kind = wire::FrameKind::Hello;
    hello.payload = StandardMessageCodec::GetInstance().EncodeMessage(EncodableValue(std::move(arguments)));
    core_->hello = wire::encodeFrame(hello);
    thread_ = std::thread([core = core_.get()] { core->ioLoop(); });
    return true;
}

PluginRegistrar* HeadlessEngine::GetRegistrarForPlugin(const std::string& pluginName) {
    for (const auto& registrar : registrars_) {
        if (registrar->pluginName() == pluginName) return registrar.get();
    }
    registrars_.push_back(std::make_unique<PluginRegistrar>(pluginName, messenger()));
    return registrars_.back().get();
}

std::vector<std::string> HeadlessEngine::pluginRegistrationOrder() const {
    std::vector<std::string> names;
    for (const auto& registrar : registrars_) names.push_back(registrar->pluginName());
    return names;
}

std::size_t HeadlessEngine::pendingFrames() const {
    std::lock_guard lock(core_->pendingMutex);
    return core_->pendingFrames;
}

std::size_t HeadlessEngine::queuedBytes() const {
    std::lock_guard lock(core_->mutex);
    return core_->outBytes;
}

std::vector<std::string> HeadlessEngine::channelRegistrationOrder() const {
    std::lock_guard lock(core_->handlerMutex);
    return core_->channelOrder;
}

void HeadlessEngine::SetQuitHandler(std::function<void()> handler) {
    std::lock_guard lock(core_->handlerMutex);
    core_->quitHandler = std::move(handler);
}

BinaryMessenger* HeadlessEngine::messenger() const {
    return core_.get();
}

HeadlessEngine::OrderlyEnd HeadlessEngine::orderlyEnd() const {
    OrderlyEnd end;
    end.core_ = core_;
    return end;
}

void HeadlessEngine::OrderlyEnd::Begin() const {
    if (auto core = core_.lock()) {
        core->ending = true;
        core->wake();
    }
}

bool HeadlessEngine::OrderlyEnd::CloseUi(std::chrono::milliseconds bound) const {
    auto core = core_.lock();
    if (!core) return true;
    std::unique_lock lock(core->mutex);
    // The stall bound drops a UI that stops taking its bytes meanwhile.
    const bool delivered = core->changed.wait_for(lock, bound, [&] {
        return core->connFd < 0 || core->stopped || (core->out.empty() && !core->dropReason);
    });
    if (core->connFd < 0 || core->stopped) return delivered;
    if (!core->dropReason) {
        core->dropReason = kEndingReason;
        core->dropEndsSession = false;
    }
    core->wake();
    // The I/O thread closes it at once.
    core->changed.wait_for(lock, std::chrono::seconds(1), [&] { return core->connFd < 0 || core->stopped; });
    return delivered;
}

void HeadlessEngine::OrderlyEnd::RemoveSocketFiles() const {
    if (auto core = core_.lock()) {
        std::lock_guard lock(core->listenerMutex);
        core->listener.RemoveFiles();
    }
}

}  // namespace flutter

#include "platform/flutter/HeadlessEngine.h"

#include "platform/flutter/UiWire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace flutter {

struct HeadlessEngine::Core : BinaryMessenger, std::enable_shared_from_this<Core> {
    explicit Core(win32::MessageQueue& q) : queue(q) {}

    win32::MessageQueue& queue;

    // Declared before the handlers so that they outlive them: a stream
    // handler's sink may still be sending while the handlers are destroyed.
    mutable std::mutex writeMutex;
    int connFd = -1;               // guarded by writeMutex
    std::uint64_t generation = 0;  // bumped per connection, guarded by writeMutex
    std::atomic<bool> stopped{false};

    std::mutex handlerMutex;
    std::map<std::uint32_t, BinaryReply> pendingReplies;  // our sends awaiting the UI's reply
    std::uint32_t nextId = 1;
    std::function<void()> quitHandler;
    std::map<std::string, BinaryMessageHandler> handlers;
    std::vector<std::string> channelOrder;  // first registration of each name

    // Frames posted to the platform thread and not yet handled there.
    std::mutex pendingMutex;
    std::condition_variable pendingChanged;
    std::size_t pendingFrames = 0;
    std::size_t pendingBytes = 0;

    // Blocks the reader while too much waits for the platform thread;
    // false when the engine stops meanwhile.
    bool admit(std::size_t bytes) {
        std::unique_lock lock(pendingMutex);
        pendingChanged.wait(lock, [this] {
            return stopped || (pendingFrames < kMaxPendingFrames && pendingBytes < kMaxPendingBytes);
        });
        if (stopped) return false;
        ++pendingFrames;
        pendingBytes += bytes;
        return true;
    }
    void handled(std::size_t bytes) {
        {
            std::lock_guard lock(pendingMutex);
            --pendingFrames;
            pendingBytes -= bytes;
        }
        pendingChanged.notify_all();
    }
    void wakeReader() {
        { std::lock_guard lock(pendingMutex); }
        pendingChanged.notify_all();
    }

    bool write(const wire::Frame& frame, std::uint64_t onlyGeneration = 0) const {
        std::vector<std::uint8_t> bytes = wire::encodeFrame(frame);
        std::lock_guard lock(writeMutex);
        if (connFd < 0 || stopped) return false;
        if (onlyGeneration != 0 && onlyGeneration != generation) return false;
        return wire::writeAll(connFd, bytes.data(), bytes.size());
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
        if (!write(frame) && frame.id != 0) {
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
            BinaryMessageHandler handler;
            {
                std::lock_guard lock(handlerMutex);
                auto it = handlers.find(frame.channel);
                if (it != handlers.end()) handler = it->second;
            }
            std::weak_ptr<Core> weak = weak_from_this();
            std::uint32_t id = frame.id;
            BinaryReply reply = [weak, id, gen](const std::uint8_t* data, std::size_t size) {
                auto core = weak.lock();
                if (!core || id == 0) return;
                wire::Frame r;
                r.kind = wire::FrameKind::Reply;
                r.id = id;
                if (size > 0) r.payload.assign(data, data + size);
                core->write(r, gen);
            };
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
};

HeadlessEngine::HeadlessEngine(win32::MessageQueue& platformQueue, std::string socketPath)
    : core_(std::make_shared<Core>(platformQueue)), socketPath_(std::move(socketPath)) {}

HeadlessEngine::~HeadlessEngine() {
    core_->stopped = true;
    core_->wakeReader();
    if (wakePipe_[1] >= 0) {
        char b = 1;
        (void)!::write(wakePipe_[1], &b, 1);
    }
    {
        std::lock_guard lock(core_->writeMutex);
        if (core_->connFd >= 0) ::shutdown(core_->connFd, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
    // Only a socket this engine bound is removed.
    listener_.Close();
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool HeadlessEngine::Start() {
    std::string error;
    if (!listener_.Open(socketPath_, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "cannot create a pipe: %s\n", std::strerror(errno));
        listener_.Close();
        return false;
    }
    thread_ = std::thread([this] { acceptLoop(); });
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

void HeadlessEngine::acceptLoop() {
    std::weak_ptr<Core> weak = core_;
    const int listenFd = listener_.fd();
    while (!core_->stopped) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0 || core_->stopped) return;
        int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        std::uint64_t gen;
        {
            std::lock_guard lock(core_->writeMutex);
            if (core_->stopped) {
                ::close(conn);
                return;
            }
            core_->connFd = conn;
            gen = ++core_->generation;
        }
        // One UI at a time: read its frames until it goes away.
        while (true) {
            auto frame = wire::readFrame(conn);
            if (!frame) break;
            const std::size_t bytes = frame->payload.size() + frame->channel.size();
            if (!core_->admit(bytes)) break;
            core_->queue.Post([weak, f = std::move(*frame), gen, bytes]() mutable {
                auto core = weak.lock();
                if (!core) return;
                core->handled(bytes);
                core->dispatch(std::move(f), gen);
            });
        }
        {
            std::lock_guard lock(core_->writeMutex);
            core_->connFd = -1;
            ::close(conn);
        }
        if (core_->stopped) return;
        core_->queue.Post([weak] {
            if (auto core = weak.lock()) core->requestQuit();
        });
    }
}

}  // namespace flutter

#include "platform/flutter/HeadlessEngine.h"

#include "platform/flutter/UiWire.h"

#include <atomic>
#include <cerrno>
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
    if (wakePipe_[1] >= 0) {
        char b = 1;
        (void)!::write(wakePipe_[1], &b, 1);
    }
    {
        std::lock_guard lock(core_->writeMutex);
        if (core_->connFd >= 0) ::shutdown(core_->connFd, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    for (int fd : wakePipe_)
        if (fd >= 0) ::close(fd);
}

bool HeadlessEngine::Start() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.empty() || socketPath_.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "UI socket path is empty or too long: %s\n", socketPath_.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "cannot create the UI socket: %s\n", std::strerror(errno));
        return false;
    }
    ::unlink(socketPath_.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 4) != 0) {
        std::fprintf(stderr, "cannot listen on the UI socket %s: %s\n", socketPath_.c_str(), std::strerror(errno));
        ::close(fd);
        return false;
    }
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        ::close(fd);
        ::unlink(socketPath_.c_str());
        return false;
    }
    listenFd_ = fd;
    thread_ = std::thread([this] { acceptLoop(); });
    return true;
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
    while (!core_->stopped) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0 || core_->stopped) return;
        int conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
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
            core_->queue.Post([weak, f = std::move(*frame), gen]() mutable {
                if (auto core = weak.lock()) core->dispatch(std::move(f), gen);
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

#include "common/RawTcpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace lumivex::test_peers {

RawTcpPeer::RawTcpPeer(Options o) : options(std::move(o)) {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) throw std::runtime_error("RawTcpPeer: socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd, 4) != 0 ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listenFd);
        throw std::runtime_error("RawTcpPeer: cannot listen");
    }
    listenPort = ntohs(address.sin_port);
    thread = std::thread([this] { serve(); });
}

RawTcpPeer::~RawTcpPeer() {
    stopping = true;
    if (thread.joinable()) thread.join();
    ::close(listenFd);
}

void RawTcpPeer::serve() {
    const auto end = std::chrono::steady_clock::now() + options.lifetime;
    auto remainingMs = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count(), 20)));
    };
    auto finish = [&] {
        {
            std::lock_guard lock(mutex);
            clientClosed = true;
        }
        changed.notify_all();
    };

    int client = -1;
    while (client < 0) {
        if (stopping || std::chrono::steady_clock::now() >= end) return finish();
        pollfd listening{listenFd, POLLIN, 0};
        if (::poll(&listening, 1, remainingMs()) > 0) client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (const auto& piece : options.script) {
        std::size_t sent = 0;
        while (sent < piece.size()) {
            const ssize_t n = ::send(client, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (options.pause.count() > 0) std::this_thread::sleep_for(options.pause);
    }
    if (options.closeAfterScript) {
        // Read what is already there, then close.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    char buffer[4096];
    while (!stopping && std::chrono::steady_clock::now() < end) {
        pollfd readable{client, POLLIN, 0};
        const int ready = ::poll(&readable, 1, options.closeAfterScript ? 0 : remainingMs());
        if (ready <= 0) {
            if (options.closeAfterScript) break;
            continue;
        }
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        {
            std::lock_guard lock(mutex);
            receivedBytes.append(buffer, static_cast<std::size_t>(n));
        }
        changed.notify_all();
    }
    ::close(client);
    finish();
}

std::string RawTcpPeer::received(std::size_t bytes, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, timeout, [&] { return receivedBytes.size() >= bytes || clientClosed; });
    return receivedBytes;
}

bool RawTcpPeer::waitForClientClose(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return clientClosed; });
}

}  // namespace lumivex::test_peers

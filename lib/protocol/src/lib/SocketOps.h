#pragma once

// The second operating-system handle of a runner connection's socket and the
// plain socket calls made through it (addresses, TCP_NODELAY, shutdown) while
// the stream itself is in use by the transport.

#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vela_client {

// Lets another thread abandon a connection (a stop request) while the
// connection's owner may close its handle at any moment: once the handle is
// closed, shutdown() does nothing, so a reused descriptor number is never hit.
class SocketCut {
public:
    // Abandons the connection as abandon_socket() does.
    void shutdown();
    // True when the connection can carry no further exchange: its handle was
    // closed, it was shut down, or the peer closed or reset its end. Looks
    // without waiting and without reading.
    bool ended();

private:
    friend class SocketHandle;
    std::mutex mutex_;
    int fd_ = -1;
};

// Owns one file descriptor; closes it when released.
class SocketHandle {
public:
    SocketHandle() = default;
    explicit SocketHandle(int fd) : fd_(fd) {}
    SocketHandle(SocketHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)), cut_(std::move(other.cut_)) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept;
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    ~SocketHandle() { close(); }

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close();
    // The handle through which another thread may shut this socket down.
    std::weak_ptr<SocketCut> cut();

private:
    int fd_ = -1;
    std::shared_ptr<SocketCut> cut_;
};

using Endpoint = boost::asio::ip::tcp::endpoint;

struct PeerAndLocal {
    Endpoint peer;
    Endpoint local;
};

// Reads the peer address, then the local address; the text of the first
// failing query otherwise.
std::variant<PeerAndLocal, std::string> peer_and_local_addr(const SocketHandle& socket);

// The local or the peer address alone; absent when the query fails.
std::optional<Endpoint> local_address(const SocketHandle& socket);
std::optional<Endpoint> peer_address(const SocketHandle& socket);

// Duplicates the descriptor of a connected socket; the failure text names the
// step that failed.
std::variant<SocketHandle, std::string> duplicate_socket(int fd);

// Sets TCP_NODELAY; returns the operating system's error text on failure.
std::string set_socket_nodelay(const SocketHandle& socket, bool on);

// Abandons the connection: resets it, dropping what is still queued to send;
// reads and writes pending on it end. Errors are dropped.
void abandon_socket(const SocketHandle& socket);

// True when a read of the socket would not wait: bytes are there, the peer
// closed its end, or the socket failed. Takes nothing from the socket.
bool readable_now(int fd);

// Text form of a socket address: "1.2.3.4:80" or "[2001:db8::1]:80".
std::string endpoint_text(const Endpoint& endpoint);

} // namespace vela_client

#include "lib/SocketOps.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace vela_client {

namespace {
std::string errno_text(int err) { return std::system_category().message(err); }

Endpoint to_endpoint(const sockaddr_storage& storage)
{
    Endpoint endpoint;
    if (storage.ss_family == AF_INET6)
        std::memcpy(endpoint.data(), &storage, sizeof(sockaddr_in6));
    else
        std::memcpy(endpoint.data(), &storage, sizeof(sockaddr_in));
    return endpoint;
}

void abandon_connection(int fd)
{
    // Dissolving the association resets the connection and drops the
    // kernel's send queue: on a slow link the data of an abandoned step would
    // otherwise keep the link busy into the next step. Pending operations
    // wake as after a shutdown. Where the reset is refused, a shutdown.
    sockaddr unspec{};
    unspec.sa_family = AF_UNSPEC;
    if (::connect(fd, &unspec, sizeof(unspec)) != 0)
        ::shutdown(fd, SHUT_RDWR);
}
} // namespace

void SocketCut::shutdown()
{
    std::lock_guard lock(mutex_);
    if (fd_ >= 0)
        abandon_connection(fd_);
}

bool readable_now(int fd)
{
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool SocketCut::ended()
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return true;
    pollfd entry{fd_, POLLRDHUP, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    return (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

SocketHandle& SocketHandle::operator=(SocketHandle&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        cut_ = std::move(other.cut_);
    }
    return *this;
}

void SocketHandle::close()
{
    if (cut_) {
        std::lock_guard lock(cut_->mutex_);
        cut_->fd_ = -1;
    }
    cut_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::weak_ptr<SocketCut> SocketHandle::cut()
{
    if (!cut_ && fd_ >= 0) {
        cut_ = std::make_shared<SocketCut>();
        cut_->fd_ = fd_;
    }
    return cut_;
}

std::variant<PeerAndLocal, std::string> peer_and_local_addr(const SocketHandle& socket)
{
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (::getpeername(socket.fd(), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return errno_text(errno);
    sockaddr_storage local{};
    len = sizeof(local);
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return errno_text(errno);
    return PeerAndLocal{to_endpoint(peer), to_endpoint(local)};
}

std::optional<Endpoint> local_address(const SocketHandle& socket)
{
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return std::nullopt;
    return to_endpoint(local);
}

std::optional<Endpoint> peer_address(const SocketHandle& socket)
{
    sockaddr_storage peer{};
    socklen_t len = sizeof(peer);
    if (::getpeername(socket.fd(), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return std::nullopt;
    return to_endpoint(peer);
}

std::variant<SocketHandle, std::string> duplicate_socket(int fd)
{
    if (fd < 0)
        return std::string("failed to take the stream out of the runtime");
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return std::string("failed to make a second socket handle");
    return SocketHandle(copy);
}

std::string set_socket_nodelay(const SocketHandle& socket, bool on)
{
    int value = on ? 1 : 0;
    if (::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0)
        return errno_text(errno);
    return {};
}

void abandon_socket(const SocketHandle& socket)
{
    if (socket.valid())
        abandon_connection(socket.fd());
}

std::string endpoint_text(const Endpoint& endpoint)
{
    const auto address = endpoint.address();
    if (address.is_v6())
        return "[" + address.to_string() + "]:" + std::to_string(endpoint.port());
    return address.to_string() + ":" + std::to_string(endpoint.port());
}

} // namespace vela_client

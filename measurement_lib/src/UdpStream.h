#pragma once
// A connected UDP socket with its own receive thread. Every datagram from the
// peer is handed, as a copy of the whole receive buffer, to the datagram
// callback on the receive thread; sends are fire-and-forget. Destroying the
// stream closes the socket on the receive thread and joins it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class UdpStream {
public:
    // Size of the receive buffer; longer datagrams are cut to it.
    static constexpr std::size_t kReceiveBufferSize = 1024;
    using Datagram = std::array<std::uint8_t, kReceiveBufferSize>;
    // (copy of the receive buffer, length of the datagram); only the first
    // `length` bytes belong to the datagram.
    using DatagramCallback = std::function<void(Datagram, std::uint64_t)>;

    // Callback slot that the user assigns while the receive thread may read
    // it; assignment and call are guarded, the call runs outside the lock.
    class CallbackSlot {
    public:
        CallbackSlot& operator=(DatagramCallback callback);
        explicit operator bool() const;
        // Calls the installed function, if any. Exceptions are caught and
        // reported; they never reach the receive thread.
        void operator()(const Datagram& datagram, std::uint64_t length) const;

    private:
        mutable std::mutex mutex;
        DatagramCallback callback;
    };

    // Bound of the name resolution when the caller gives no deadline.
    static constexpr std::chrono::milliseconds kDefaultResolveTimeout{10000};
    // Datagrams handed to send and not yet passed to the socket beyond which
    // send waits for room (kSendRoomWait at most, then drops the datagram):
    // a sender faster than the socket cannot grow memory without end.
    static constexpr std::size_t kMaxPendingSends = 256;
    static constexpr std::chrono::milliseconds kSendRoomWait{1000};

    // Resolves the peer (given up at resolveBy: a resolver that never
    // answers cannot hold the caller), connects the socket and starts
    // receiving. Throws a system error whose text begins with "resolve" or
    // "connect".
    UdpStream(std::string host, int32_t port);
    UdpStream(std::string host, int32_t port, std::chrono::steady_clock::time_point resolveBy);
    ~UdpStream();

    UdpStream(const UdpStream&) = delete;
    UdpStream& operator=(const UdpStream&) = delete;

    // Queues one datagram of `length` bytes for the peer; the bytes are
    // copied, so the caller's buffer may change at once. Failures are ignored.
    // While kMaxPendingSends datagrams are still queued it waits for room.
    void send(const void* data, std::size_t length);

    // Datagrams send dropped because no room came within kSendRoomWait.
    std::uint64_t droppedSends() const;

    // True while the socket is open and the receive thread runs.
    bool isReceiving() const;
    // Local port the system chose at the connect.
    uint16_t localPort() const;

    CallbackSlot datagramCallback;

    // Logs under the name "UdpStream".
    static Poco::Logger& logger();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace trevask::measurement_library

#include "UdpStream.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>

#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

#include "NameResolution.h"
#include "helper/SentryHelper.h"

namespace trevask::measurement_library {

namespace asio = boost::asio;
using udp = boost::asio::ip::udp;

Poco::Logger& UdpStream::logger() {
    static Poco::Logger& instance = Poco::Logger::get("UdpStream");
    return instance;
}

UdpStream::CallbackSlot& UdpStream::CallbackSlot::operator=(DatagramCallback newCallback) {
    std::lock_guard lock(mutex);
    callback = std::move(newCallback);
    return *this;
}

UdpStream::CallbackSlot::operator bool() const {
    std::lock_guard lock(mutex);
    return static_cast<bool>(callback);
}

void UdpStream::CallbackSlot::operator()(const Datagram& datagram, std::uint64_t length) const {
    DatagramCallback function;
    {
        std::lock_guard lock(mutex);
        function = callback;
    }
    if (!function) return;
    try {
        function(datagram, length);
    } catch (const std::exception& e) {
        poco_error_f1(logger(), "Datagram callback failed: %s", std::string(e.what()));
        SentryHelper::captureException(e);
    } catch (...) {
        poco_error(logger(), "Datagram callback failed with a non-standard exception");
    }
}

struct UdpStream::Impl {
    Impl(CallbackSlot& slot, std::string h, int32_t p) : callback(slot), port(p), host(std::move(h)) {}

    Datagram receiveBuffer{};
    CallbackSlot& callback;
    int32_t port;
    std::string host;
    asio::io_context ioContext;
    // Keeps the receive thread serving sends after receiving has ended.
    asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(ioContext)};
    std::unique_ptr<udp::socket> udpSocket;
    udp::endpoint remoteEndpoint;
    std::unique_ptr<std::thread> receiveThread;
    std::atomic<bool> receiving{false};

    // Datagrams posted by send and not yet handed to the socket.
    std::mutex sendMutex;
    std::condition_variable sendRoom;
    std::size_t pendingSends = 0;
    std::atomic<std::uint64_t> droppedSends{0};

    void sendDone() {
        {
            std::lock_guard lock(sendMutex);
            --pendingSends;
        }
        sendRoom.notify_one();
    }

    void receiveNext() {
        receiving = true;
        udpSocket->async_receive(asio::buffer(receiveBuffer),
                                 [this](const boost::system::error_code& error, std::size_t size) {
                                     handleReceive(error, size);
                                 });
    }

    void handleReceive(const boost::system::error_code& error, std::size_t size) {
        if (error) {
            // Cancellation, or the refusal the system reports for a closed peer port.
            receiving = false;
            return;
        }
        callback(receiveBuffer, size);
        receiveNext();
    }

    void closeSocket() {
        if (udpSocket && udpSocket->is_open()) {
            boost::system::error_code ignored;
            udpSocket->close(ignored);
        }
    }
};

UdpStream::UdpStream(std::string host, int32_t port)
    : UdpStream(std::move(host), port, std::chrono::steady_clock::now() + kDefaultResolveTimeout) {}

UdpStream::UdpStream(std::string host, int32_t port, std::chrono::steady_clock::time_point resolveBy)
    : d(std::make_unique<Impl>(datagramCallback, std::move(host), port)) {
    boost::system::error_code error;
    const auto results = resolveHost(d->host, port, SocketKind::Datagram, resolveBy, error);
    if (error) throw boost::system::system_error(error, "resolve");
    std::memcpy(d->remoteEndpoint.data(), &results.front().address, results.front().length);
    d->remoteEndpoint.resize(results.front().length);

    d->udpSocket = std::make_unique<udp::socket>(d->ioContext);
    d->udpSocket->open(d->remoteEndpoint.protocol(), error);
    if (!error) d->udpSocket->connect(d->remoteEndpoint, error);
    if (error) throw boost::system::system_error(error, "connect");

    if (d->udpSocket->is_open()) {
        d->receiveNext();
        poco_information_f2(logger(), "Opened UDP socket and listening (%s, port: %d)", d->host, port);
        d->receiveThread = std::make_unique<std::thread>([impl = d.get()] {
            while (true) {
                try {
                    impl->ioContext.run();
                    return;
                } catch (const std::exception& e) {
                    poco_error_f1(logger(), "Exception on the UDP receive thread: %s", std::string(e.what()));
                    SentryHelper::captureException(e);
                } catch (...) {
                    poco_error(logger(), "Non-standard exception on the UDP receive thread");
                }
            }
        });
    } else {
        poco_warning_f2(logger(), "Unable to connect UDP socket: %s, port: %d", d->host, port);
    }
}

UdpStream::~UdpStream() {
    if (d->receiveThread && d->receiveThread->joinable()) {
        // Close on the receive thread itself, so closing never races a receive.
        Impl* impl = d.get();
        asio::post(d->ioContext, [impl] {
            impl->closeSocket();
            impl->work.reset();
        });
        d->receiveThread->join();
    }
    d->closeSocket();
}

void UdpStream::send(const void* data, std::size_t length) {
    Impl* impl = d.get();
    // Without a receive thread nothing would ever pass the datagram on.
    if (!impl->receiveThread) return;
    {
        std::unique_lock lock(impl->sendMutex);
        if (!impl->sendRoom.wait_for(lock, kSendRoomWait, [impl] { return impl->pendingSends < kMaxPendingSends; })) {
            if (impl->droppedSends.fetch_add(1) == 0) {
                poco_warning_f2(logger(), "UDP socket to %s, port %d does not keep up; datagrams are dropped",
                                impl->host, impl->port);
            }
            return;
        }
        ++impl->pendingSends;
    }
    auto bytes = std::make_shared<std::string>(static_cast<const char*>(data), length);
    asio::post(d->ioContext, [impl, bytes] {
        if (!impl->udpSocket || !impl->udpSocket->is_open()) {
            impl->sendDone();
            return;
        }
        impl->udpSocket->async_send(asio::buffer(*bytes), [impl, bytes](const boost::system::error_code&, std::size_t) {
            impl->sendDone();
        });
    });
}

std::uint64_t UdpStream::droppedSends() const { return d->droppedSends.load(); }

bool UdpStream::isReceiving() const { return d->receiving.load(); }

uint16_t UdpStream::localPort() const {
    boost::system::error_code error;
    if (!d->udpSocket) return 0;
    const auto endpoint = d->udpSocket->local_endpoint(error);
    return error ? 0 : endpoint.port();
}

}  // namespace trevask::measurement_library

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/system/system_error.hpp>

#include "QosPeerSupport.h"
#include "UdpStream.h"

using namespace std::chrono_literals;
using trevask::measurement_library::UdpStream;

namespace {

using Clock = std::chrono::steady_clock;

struct Received {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<UdpStream::Datagram, uint64_t>> items;

    UdpStream::DatagramCallback callback() {
        return [this](UdpStream::Datagram datagram, uint64_t length) {
            {
                std::lock_guard lock(mutex);
                items.emplace_back(datagram, length);
            }
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 2s) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return items.size() >= count; });
    }
};

uint16_t closedUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

// Echoed datagrams reach the callback with their length; the sender's buffer
// may change right after send.
TEST(UdpStream, SendsAndReceivesEchoes) {
    qos_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const auto port = std::to_string(s.server.udpTestPorts().at(0));
    ASSERT_EQ(s.request("UDPTEST OUT " + port + " 3"), "OK");

    Received received;  // outlives the stream's receive thread
    UdpStream stream("127.0.0.1", s.server.udpTestPorts().at(0));
    EXPECT_NE(stream.localPort(), 0);
    stream.datagramCallback = received.callback();
    std::array<uint8_t, 46> datagram{};
    for (uint8_t i = 0; i < 3; ++i) {
        datagram.fill(static_cast<uint8_t>(0x40 + i));
        datagram[0] = 3;
        datagram[1] = i;
        stream.send(datagram.data(), datagram.size());
        datagram.fill(0xEE);  // the stream sent its own copy
    }
    ASSERT_TRUE(received.waitFor(3));
    std::lock_guard lock(received.mutex);
    for (const auto& [bytes, length] : received.items) {
        EXPECT_EQ(length, 46u);
        EXPECT_EQ(bytes[0], 3);
        EXPECT_EQ(bytes[45], 0x40 + bytes[1]);
    }
    EXPECT_EQ(s.request("GET UDPRESULT OUT " + port), "RCV 3 3");
}

// A datagram over 1024 bytes arrives cut to 1024; the next one is received as
// usual, with the rest of the buffer left as it was.
TEST(UdpStream, TruncatesAtTheReceiveBufferSize) {
    qos_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.udpTestPorts().at(0);
    ASSERT_EQ(s.request("UDPTEST OUT " + std::to_string(port) + " 2"), "OK");

    Received received;
    UdpStream stream("127.0.0.1", port);
    stream.datagramCallback = received.callback();
    std::vector<uint8_t> large(1500);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
    stream.send(large.data(), large.size());
    ASSERT_TRUE(received.waitFor(1));
    const std::array<uint8_t, 46> small{1, 2, 3};
    stream.send(small.data(), small.size());
    ASSERT_TRUE(received.waitFor(2));

    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.items[0].second, UdpStream::kReceiveBufferSize);
    EXPECT_TRUE(std::equal(large.begin(), large.begin() + 1024, received.items[0].first.begin()));
    EXPECT_EQ(received.items[1].second, 46u);
    EXPECT_EQ(received.items[1].first[2], 3);
    EXPECT_EQ(received.items[1].first[46], large[46]);
    EXPECT_EQ(received.items[1].first[1023], large[1023]);
}

// Destroying a stream returns at once, whether nothing arrives or datagrams
// keep coming in.
TEST(UdpStream, ShutsDownPromptly) {
    qos_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.udpTestPorts().at(0);
    ASSERT_EQ(s.request("UDPTEST OUT " + std::to_string(port) + " 1000"), "OK");
    for (bool traffic : {false, true}) {
        auto stream = std::make_unique<UdpStream>("127.0.0.1", port);
        Received received;
        stream->datagramCallback = received.callback();
        const std::array<uint8_t, 46> datagram{};
        if (traffic) {
            for (int i = 0; i < 100; ++i) stream->send(datagram.data(), datagram.size());
            received.waitFor(1);
        }
        const auto start = Clock::now();
        stream.reset();
        EXPECT_LT(Clock::now() - start, 500ms);
    }
}

// A closed peer port makes the system refuse, which ends the receiving;
// sending on stays silent.
TEST(UdpStream, RefusalEndsReceiving) {
    UdpStream stream("127.0.0.1", closedUdpPort());
    EXPECT_TRUE(stream.isReceiving());
    const std::array<uint8_t, 12> datagram{};
    for (int i = 0; i < 50 && stream.isReceiving(); ++i) {
        stream.send(datagram.data(), datagram.size());
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(stream.isReceiving());
    stream.send(datagram.data(), datagram.size());
}

TEST(UdpStream, UnresolvableHostThrowsResolveError) {
    try {
        // Blanks make the resolver refuse the name without asking any DNS server.
        UdpStream stream("no such host.invalid", 5000);
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("resolve", 0), 0u) << e.what();
    }
}

TEST(UdpStream, ThrowingCallbackKeepsReceiving) {
    qos_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.udpTestPorts().at(0);
    ASSERT_EQ(s.request("UDPTEST OUT " + std::to_string(port) + " 3"), "OK");
    Received received;
    UdpStream stream("127.0.0.1", port);
    auto record = received.callback();
    stream.datagramCallback = [&, record](UdpStream::Datagram datagram, uint64_t length) {
        record(datagram, length);
        throw std::runtime_error("callback failure");
    };
    const std::array<uint8_t, 46> datagram{};
    for (int i = 0; i < 3; ++i) {
        stream.send(datagram.data(), datagram.size());
        ASSERT_TRUE(received.waitFor(i + 1));
    }
}

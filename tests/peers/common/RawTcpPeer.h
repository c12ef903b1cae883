#pragma once
// A scripted TCP peer for client tests: listens on 127.0.0.1 port 0, accepts
// one connection, writes its script piece by piece and records every byte it
// receives. Bounded: it gives up after its lifetime, and the destructor ends
// its thread promptly.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumivex::test_peers {

class RawTcpPeer {
public:
    struct Options {
        // Written in order, each piece with its own write call.
        std::vector<std::string> script{};
        // Pause between the pieces (lets the client read them apart).
        std::chrono::milliseconds pause{0};
        // Close the connection right after the script.
        bool closeAfterScript = false;
        // How long the peer serves at most.
        std::chrono::milliseconds lifetime{5000};
    };

    explicit RawTcpPeer(Options options);
    ~RawTcpPeer();

    RawTcpPeer(const RawTcpPeer&) = delete;
    RawTcpPeer& operator=(const RawTcpPeer&) = delete;

    uint16_t port() const { return listenPort; }
    // Waits until at least `bytes` bytes have arrived (or the client closed,
    // or the timeout passed) and returns everything received so far.
    std::string received(std::size_t bytes, std::chrono::milliseconds timeout);
    // Waits until the client has closed its side; false on timeout.
    bool waitForClientClose(std::chrono::milliseconds timeout);

private:
    void serve();

    Options options;
    int listenFd = -1;
    uint16_t listenPort = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::string receivedBytes;
    bool clientClosed = false;
    std::thread thread;
};

}  // namespace lumivex::test_peers

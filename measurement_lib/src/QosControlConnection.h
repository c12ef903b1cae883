#pragma once
// The agent's control channel to the QoS server. A blocking handshake on the
// caller's thread (greeting, token, connection time-out request), then an
// asynchronous phase: an I/O thread of its own writes queued requests in
// queue order and reads replies, and each reply is handed to the callback of
// its request id on a thread of its own (QosCallbackThreads). Requests queued
// before the handshake has succeeded wait for it; after a failed handshake
// nothing is ever written.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "TcpConnection.h"

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

// Called at most once per request, on a thread of its own, with the response
// part of the reply and the request id. An exception it throws is caught,
// logged and reported; it never ends the process.
using QosResponseCallback = std::function<void(std::string response, std::string id)>;

// A reply line split into response and id, as "(.*)\s+\+ID([\d]*)" (ECMAScript
// search) splits it: the match starts as early as possible, the response is
// greedy and cannot span a carriage return, the id is the run of digits right
// after "+ID". Linear in the line's length. Empty when the line has no tag.
struct QosReply {
    std::string response;
    std::string id;
};
std::optional<QosReply> matchQosReply(std::string_view line);

class QosControlConnection : public TcpConnection {
public:
    // Bound of the whole blocking connect (resolve, connect, TLS, handshake lines).
    static constexpr std::chrono::milliseconds kHandshakeTimeout{10000};
    // Connection time-out requested from the server, in milliseconds.
    static constexpr int64_t kConnectionTimeoutMs = 600000;

    QosControlConnection(std::string host, int32_t port, bool useTls, std::string tokenLine,
                         std::chrono::nanoseconds handshakeTimeout = kHandshakeTimeout);
    ~QosControlConnection() override;

    // The handshake; true when it succeeded and the asynchronous phase runs.
    bool connect();
    // Registers the callback under the id (replacing one already there) and
    // queues "<command> +ID<id>" for writing once the handshake is done.
    // Callable from any thread, also before connect.
    void sendRequest(std::string command, std::string id, QosResponseCallback callback);

    // Id of the I/O thread; empty before the asynchronous phase.
    std::thread::id ioThreadId() const;

    // Logs under the name "QosControlConnection".
    static Poco::Logger& logger();

private:
    void setTimeout(int64_t timeoutMs);
    void startReading();
    void sendNextMessage();
    void onWrite(const boost::system::error_code& error, std::size_t bytes);
    void onReceive(const boost::system::error_code& error, std::size_t bytes);

    std::string responseBuffer;
    std::unique_ptr<std::thread> iothread;
    std::deque<std::string> messageQueue;
    std::string tokenLine;
    std::shared_ptr<std::map<std::string, QosResponseCallback>> callbacks;
    std::chrono::nanoseconds handshakeTimeout;
    // Set once the handshake has succeeded; until then requests only queue.
    // Guarded by the connections' mutex.
    bool writing = false;
    // The rest of a reply line longer than the line bound is being skipped
    // (I/O thread only).
    bool skippingLongLine = false;
};

}  // namespace trevask::measurement_library

#pragma once
// The UI side of the engine's socket, for the command-line UI driver and
// for tests: calls methods, subscribes to event channels and collects the
// events, each wait bounded by a time-out.

#include "platform/flutter/StandardCodec.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace flutter {

struct UiEvent {
    enum class Kind { Success, Error, EndOfStream };
    std::string channel;
    Kind kind = Kind::Success;
    EncodableValue value;  // event, or error details
    std::string errorCode;
    std::string errorMessage;
};

class UiClient {
public:
    UiClient() = default;
    ~UiClient();
    UiClient(const UiClient&) = delete;
    UiClient& operator=(const UiClient&) = delete;

    // Connects and waits for the agent's hello, within the time-out. Refuses
    // a socket that fails CheckUiSocketOwner or is served by another user's
    // process. A full backlog is tried again within the time-out, and a
    // socket nobody serves for a quarter second (an agent starting has its
    // file a moment before it listens); a missing socket and a refusal by
    // the agent fail at once. On failure error() says why, in one line.
    bool Connect(const std::string& socketPath, std::chrono::milliseconds timeout);
    const std::string& error() const { return error_; }
    // The UI's entry-point arguments, from the agent's hello.
    const std::vector<std::string>& entrypointArguments() const { return entrypointArguments_; }
    // Why the agent closed the connection, when it said so.
    std::string closeReason() const;
    void Close();
    bool connected() const;

    // No value on time-out, a closed connection or an undecodable reply.
    std::optional<MethodReply> InvokeMethod(const std::string& channel, const std::string& method,
                                            const EncodableValue& arguments, std::chrono::milliseconds timeout);
    // Sends raw bytes as a message and returns the raw reply bytes.
    std::optional<ByteBuffer> SendRaw(const std::string& channel, const ByteBuffer& payload,
                                      std::chrono::milliseconds timeout);
    std::optional<MethodReply> Listen(const std::string& channel, std::chrono::milliseconds timeout,
                                      const EncodableValue& arguments = EncodableValue());
    std::optional<MethodReply> Cancel(const std::string& channel, std::chrono::milliseconds timeout);
    std::optional<UiEvent> NextEvent(std::chrono::milliseconds timeout);
    // Waits until the agent closes the connection.
    bool WaitClosed(std::chrono::milliseconds timeout);
    void SendQuit();

private:
    void readLoop();

    int fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::uint32_t nextId_ = 1;
    std::map<std::uint32_t, std::optional<ByteBuffer>> replies_;  // id -> reply once it arrived
    std::deque<UiEvent> events_;
    bool closed_ = false;
    std::string closeReason_;
    std::mutex writeMutex_;
    std::string error_;
    std::vector<std::string> entrypointArguments_;
};

// JSON text to a value: objects become maps with string keys, arrays lists,
// whole numbers int32 when they fit and int64 otherwise, other numbers
// doubles. Throws std::invalid_argument for text that is not JSON.
EncodableValue encodableFromJson(const std::string& text);
// A value as compact JSON text; typed lists become arrays, map keys that
// are not strings are written as their JSON text.
std::string encodableToJson(const EncodableValue& value);

}  // namespace flutter

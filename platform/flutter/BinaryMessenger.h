#pragma once
// Raw byte messages between the native side and the UI, by channel name.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Answers one incoming message; may be called from any thread, once.
using BinaryReply = std::function<void(const std::uint8_t* reply, std::size_t size)>;
using BinaryMessageHandler =
    std::function<void(const std::uint8_t* message, std::size_t size, BinaryReply reply)>;

class BinaryMessenger {
public:
    virtual ~BinaryMessenger() = default;
    // Sends to the UI; thread-safe. The reply, when given, runs on the
    // platform thread; it is dropped when no UI is connected.
    virtual void Send(const std::string& channel, const std::uint8_t* message, std::size_t size,
                      BinaryReply reply = nullptr) const = 0;
    // Handlers run on the platform thread; an empty handler removes the entry.
    virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

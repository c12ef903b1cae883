#pragma once
// The outgoing UDP test: asks the QoS server over the run's control
// connection to echo datagrams on a port, sends the configured number of
// 46-byte test datagrams with a fixed pause after each, times every echo by
// the send time stamp it carries back, and then asks the server how many
// datagrams it received. The outcome ("OK", "TIMEOUT") becomes the status of
// the result record.
//
// Threads of one run: the task's pool thread waits; a callback thread of the
// control connection sends the datagrams; the stream's receive thread takes
// the echoes. They share one RunState, which outlives the task when a reply
// or an echo comes late.

#include "tasks/BaseTask.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class UdpTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "UDP";
    // Pause after each datagram when the configuration gives no "delay".
    static constexpr std::int64_t kDefaultDelayNs = 100000000;
    static constexpr std::size_t kPacketSize = 46;
    static constexpr std::uint8_t kPacketType = 3;

    using Packet = std::array<std::uint8_t, kPacketSize>;

    UdpTask();
    ~UdpTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;
    bool needsControlConnection() const override { return true; }

    // Test datagram number `packetNumber`: type 3, the number modulo 256, the
    // first 36 bytes of the agent UUID (zero-padded when shorter) and the
    // send time stamp, most significant byte first.
    static Packet buildPacket(std::uint32_t packetNumber, const std::string& agentUuid, std::uint64_t timestampNs);
    // The server's count of received datagrams from its reply to
    // "GET UDPRESULT OUT": the first number after the first "RCV " that is
    // followed by a second number ("RCV <received> <count>"). No value when
    // the reply has no such part, the number is empty or does not fit.
    static std::optional<std::uint32_t> parseServerReceived(std::string_view response);

    struct RunState;

    // Logs under the name "UdpTask".
    static Poco::Logger& logger();

private:
    std::string resultIn;   // never written; second choice of the result status
    std::string resultOut;  // "OK" after both answers came in time, "TIMEOUT" after a wait expired
    std::shared_ptr<RunState> state;
};

}  // namespace trevask::measurement_library

#pragma once
// The VoIP call test: announces a call over the run's control connection
// ("VOIPTEST ..."), sends a paced RTP stream to the server's UDP port,
// records the RTP stream the server sends back, then asks for the server's
// figures of the packets it received ("GET VOIPRESULT <ssrc>"). The result
// holds the same eight figures for both directions: "in" computed here from
// the captured stream, "out" as the server reports them.
//
// Construction: VoipTask::create(configuration) with a VoipTaskConfiguration;
// the runner then sets the control connection.

#include "UdpStream.h"
#include "helper/RtpUtil.h"
#include "tasks/BaseTask.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class VoipTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "VOIP";

    VoipTask();
    ~VoipTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;
    bool needsControlConnection() const override { return true; }

    // The datagram callback of the UDP stream (receive thread): decodes the
    // datagram as RTP and keeps it by sequence number with its receive
    // instant; a later packet with the same number replaces the earlier one.
    // Datagrams that are not RTP version 2 are ignored.
    void capturePacket(const UdpStream::Datagram& datagram, std::uint64_t length);

    // The SSRC digits of the first "OK <digits>" in a reply to VOIPTEST.
    static std::optional<std::string> findSsrcText(const std::string& reply);
    // The ten groups of the first "VOIPRESULT" followed by ten blank-separated
    // optionally negative decimal numbers (each group may be empty).
    static std::optional<std::array<std::string, 10>> findVoipResultGroups(const std::string& reply);

    // Copy of the packets captured so far.
    CapturedRtpPackets capturedPacketsSnapshot() const;
    const RtpStatistics* getServerStatistics() const { return serverStatistics.get(); }

    // Logs under the name "VoipTask".
    static Poco::Logger& logger();

private:
    std::unique_ptr<UdpStream> udpStream;
    std::atomic<bool> running{false};
    std::unique_ptr<RtpStatistics> serverStatistics;
    mutable std::mutex captureMutex;
    CapturedRtpPackets capturedPackets;
};

}  // namespace trevask::measurement_library

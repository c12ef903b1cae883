// The statistics of a captured RTP stream, computed from what a server sends
// in a VoIP call: the sample rate and first expected sequence number, then
// packets as 8-byte records (sequence number, RTP timestamp, gap to the
// previous arrival in microseconds), kept by sequence number as the capture
// keeps them. Whatever the server sends, the figures stay consistent.

#include "../FuzzTarget.h"

#include "helper/RtpUtil.h"

#include <string>

using namespace trevask::measurement_library;

namespace {

std::uint32_t bigEndian(const std::uint8_t* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
    return value;
}

}  // namespace

LUMIVEX_FUZZ_TARGET(rtp_statistics) {
    lumivex_fuzz::silenceLogs();
    if (size < 6) return 0;
    const auto firstExpected = static_cast<std::uint16_t>(bigEndian(data, 2));
    const auto sampleRate = static_cast<std::int32_t>(bigEndian(data + 2, 4));
    CapturedRtpPackets packets;
    std::int64_t receivedNs = 1'000'000'000;  // a monotonic clock well past its start
    for (std::size_t at = 6; at + 8 <= size; at += 8) {
        const auto sequence = static_cast<std::uint16_t>(bigEndian(data + at, 2));
        const std::uint32_t timestamp = bigEndian(data + at + 2, 4);
        receivedNs += static_cast<std::int64_t>(bigEndian(data + at + 6, 2)) * 1000;
        packets[sequence] = CapturedRtpPacket{std::make_shared<MinimalRtpPacket>(0, sequence, timestamp, 0x1234u),
                                              receivedNs};
    }
    const auto statistics = RtpUtil::calculateQoS(packets, firstExpected, sampleRate);
    FUZZ_CHECK(statistics != nullptr);
    const RtpStatistics& s = *statistics;
    const std::string figures = std::to_string(s.numPackets) + " packets, jitter " + std::to_string(s.meanJitter) +
                                "/" + std::to_string(s.maxJitter) + ", runs " + std::to_string(s.shortestSequence) +
                                "/" + std::to_string(s.longestSequence) + ", errors " +
                                std::to_string(s.sequenceErrors);
    if (packets.empty() || sampleRate <= 0) {
        FUZZ_CHECK_MSG(s.numPackets == 0 && s.maxJitter == 0 && s.skew == 0, figures);
        return 0;
    }
    FUZZ_CHECK_MSG(s.numPackets == static_cast<std::int32_t>(packets.size()), figures);
    FUZZ_CHECK_MSG(0 <= s.meanJitter && s.meanJitter <= s.maxJitter, figures);
    FUZZ_CHECK_MSG(s.maxDelta >= 0, figures);
    FUZZ_CHECK_MSG(0 <= s.shortestSequence && s.shortestSequence <= s.longestSequence, figures);
    FUZZ_CHECK_MSG(s.longestSequence <= s.numPackets && s.sequenceErrors <= s.numPackets, figures);
    return 0;
}

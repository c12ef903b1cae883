#pragma once
// Figures of a captured RTP stream (VoIP test): number of packets, maximum
// and mean interarrival jitter, skew, maximum delta, sequence errors and the
// shortest and longest runs of packets that arrived in order.

#include "helper/RtpPacket.h"

#include <cstdint>
#include <map>
#include <memory>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

// One captured packet and its receive instant (monotonic clock, ns).
struct CapturedRtpPacket {
    std::shared_ptr<MinimalRtpPacket> packet;
    int64_t receivedNs = 0;
};

// Captured packets by sequence number, one entry per sequence number.
using CapturedRtpPackets = std::map<uint16_t, CapturedRtpPacket>;

// The eight figures of one direction of a call; times in nanoseconds.
struct RtpStatistics {
    int32_t numPackets = 0;
    int64_t maxJitter = 0;
    int64_t meanJitter = 0;
    int64_t skew = 0;
    int64_t maxDelta = 0;
    int32_t sequenceErrors = 0;
    int32_t shortestSequence = 0;
    int32_t longestSequence = 0;
};

class RtpUtil {
public:
    // Jitter (RFC 3550 estimator, gain 1/16, in ns), skew and deltas are taken
    // over the packets in sequence-number order; the in-order runs over the
    // packets in arrival order, counted against a 16-bit counter that starts
    // at firstExpectedSequence. Figures beyond the range of their 64-bit
    // fields (a hostile stream's skew) saturate at its limits. Never throws:
    // a failure (a sample rate that is not positive, for one) is reported to
    // the crash reporter and gives all zeros. An empty capture gives all zeros.
    static std::unique_ptr<RtpStatistics> calculateQoS(const CapturedRtpPackets& packets,
                                                       uint16_t firstExpectedSequence, int32_t sampleRate);
    // Logs under the name "RtpUtil".
    static Poco::Logger& logger();
};

}  // namespace trevask::measurement_library

#include "helper/RtpUtil.h"

#include "helper/SentryHelper.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

namespace trevask::measurement_library {

namespace {

struct Figures {
    int32_t numPackets = 0;
    int64_t maxJitter = 0;
    int64_t meanJitter = 0;
    int64_t skew = 0;
    int64_t maxDelta = 0;
};

// Wider than every figure, so sums and differences of 64-bit figures over a
// whole capture (at most 65536 packets) cannot overflow on the way.
using Wide = __int128;

int64_t saturate(Wide value) {
    if (value > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (value < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

// Truncates toward zero; values beyond the 64-bit range give its limits.
int64_t saturate(double value) {
    if (!(value < 9223372036854775808.0)) return std::numeric_limits<int64_t>::max();
    if (!(value > -9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

// Pass 1: in sequence-number order, each packet against the captured packet
// before it. A hostile stream (timestamps that leap by 2^31 each packet, or
// receive instants far apart) drives the sums past 64 bits: they are kept
// wide and each figure saturates at the limits of its field.
Figures timingFigures(const CapturedRtpPackets& packets, int32_t sampleRate) {
    Figures figures;
    const CapturedRtpPacket* previous = nullptr;
    double previousJitter = 0;
    Wide skew = 0;
    Wide jitterSum = 0;
    for (const auto& [sequence, current] : packets) {
        if (!current.packet) throw std::invalid_argument("captured RTP packet without its header");
        if (previous != nullptr) {
            const Wide arrivalGap = Wide{current.receivedNs} - Wide{previous->receivedNs};
            // RTP timestamps are modulo 2^32 and start at a random value: the
            // gap is the signed 32-bit difference, so a wrap inside the call
            // stays a small step. Unlike plain differences these gaps do not
            // cancel out over the call, hence the wide sums.
            const auto timestampGap =
                static_cast<int64_t>(static_cast<int32_t>(current.packet->timestamp - previous->packet->timestamp));
            // At most 2^31 samples at 1 Hz: about 2.1e18 ns, within 64 bits.
            const auto expectedGap =
                static_cast<int64_t>(static_cast<double>(timestampGap) / sampleRate * 1000 * 1000000);
            skew += Wide{expectedGap} - arrivalGap;
            const Wide difference = arrivalGap - Wide{expectedGap};
            const int64_t delta = saturate(difference < 0 ? -difference : difference);
            figures.maxDelta = std::max(figures.maxDelta, delta);
            const double jitter = previousJitter + (static_cast<double>(delta) - previousJitter) * 0.0625;
            const int64_t truncated = saturate(jitter);
            figures.maxJitter = std::max(figures.maxJitter, truncated);
            jitterSum += truncated;
            previousJitter = jitter;
        }
        previous = &current;
    }
    figures.numPackets = static_cast<int32_t>(packets.size());
    figures.skew = saturate(skew);
    figures.meanJitter = saturate(jitterSum / static_cast<Wide>(packets.size()));
    return figures;
}

struct Runs {
    int32_t sequenceErrors = 0;
    int32_t shortest = 0;
    int32_t longest = 0;
};

// Pass 2: in arrival order against a counter that is never re-aligned.
Runs sequenceRuns(const CapturedRtpPackets& packets, uint16_t firstExpectedSequence) {
    std::vector<std::pair<int64_t, uint16_t>> arrival;  // (receive instant, sequence number)
    arrival.reserve(packets.size());
    for (const auto& [sequence, captured] : packets) arrival.emplace_back(captured.receivedNs, sequence);
    std::sort(arrival.begin(), arrival.end());

    Runs runs;
    uint16_t expected = firstExpectedSequence;
    int32_t run = 0;
    auto closeRun = [&] {
        runs.longest = std::max(runs.longest, run);
        if (run >= 2) runs.shortest = runs.shortest == 0 ? run : std::min(runs.shortest, run);
    };
    for (std::size_t i = 0; i < arrival.size(); ++i) {
        // Of packets received at the same instant only the lowest sequence number counts.
        if (i > 0 && arrival[i].first == arrival[i - 1].first) continue;
        if (arrival[i].second == expected) {
            ++run;
        } else {
            ++runs.sequenceErrors;
            closeRun();
            run = 0;
        }
        ++expected;
    }
    closeRun();
    if (runs.shortest == 0 && runs.longest > 0) runs.shortest = runs.longest;
    return runs;
}

}  // namespace

Poco::Logger& RtpUtil::logger() {
    static Poco::Logger& instance = Poco::Logger::get("RtpUtil");
    return instance;
}

std::unique_ptr<RtpStatistics> RtpUtil::calculateQoS(const CapturedRtpPackets& packets, uint16_t firstExpectedSequence,
                                                     int32_t sampleRate) {
    auto statistics = std::make_unique<RtpStatistics>();
    if (packets.empty()) return statistics;
    try {
        if (sampleRate <= 0) throw std::invalid_argument("RTP sample rate must be positive, got " + std::to_string(sampleRate));
        const Figures figures = timingFigures(packets, sampleRate);
        const Runs runs = sequenceRuns(packets, firstExpectedSequence);
        statistics->numPackets = figures.numPackets;
        statistics->maxJitter = figures.maxJitter;
        statistics->meanJitter = figures.meanJitter;
        statistics->skew = figures.skew;
        statistics->maxDelta = figures.maxDelta;
        statistics->sequenceErrors = runs.sequenceErrors;
        statistics->shortestSequence = std::min(runs.shortest, figures.numPackets);
        statistics->longestSequence = std::min(runs.longest, figures.numPackets);
    } catch (const std::exception& e) {
        poco_error_f1(logger(), "calculateQoS failed: %s", std::string(e.what()));
        SentryHelper::captureException(e);
    }
    return statistics;
}

}  // namespace trevask::measurement_library

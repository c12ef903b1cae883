// RTP statistics of captured streams: jitter, skew and delta in sequence
// order, in-order runs in arrival order.

#include <gtest/gtest.h>

#include "QosServer.h"
#include "RtpTestSupport.h"
#include "helper/RtpUtil.h"

#include <algorithm>
#include <limits>
#include <random>

using trevask::measurement_library::CapturedRtpPackets;
using trevask::measurement_library::RtpStatistics;
using trevask::measurement_library::RtpUtil;
using namespace rtp_test;

namespace {

struct Expected {
    int32_t numPackets;
    int64_t maxJitter, meanJitter, skew, maxDelta;
    int32_t sequenceErrors, shortest, longest;
};

void expectFigures(const RtpStatistics& s, const Expected& e) {
    EXPECT_EQ(s.numPackets, e.numPackets);
    EXPECT_EQ(s.maxJitter, e.maxJitter);
    EXPECT_EQ(s.meanJitter, e.meanJitter);
    EXPECT_EQ(s.skew, e.skew);
    EXPECT_EQ(s.maxDelta, e.maxDelta);
    EXPECT_EQ(s.sequenceErrors, e.sequenceErrors);
    EXPECT_EQ(s.shortestSequence, e.shortest);
    EXPECT_EQ(s.longestSequence, e.longest);
}

}  // namespace

TEST(RtpStatistics, TablesOfCapturedStreams) {
    struct Case {
        const char* name;
        CapturedRtpPackets packets;
        uint16_t firstExpected;
        Expected expected;
    };
    const std::vector<Case> cases = {
        {"empty capture", {}, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"steady 20 ms", capture({{0, 0, 0}, {1, 160, 20}, {2, 320, 40}}), 0, {3, 0, 0, 0, 0, 0, 3, 3}},
        // Second gap 30 ms: delta 10 ms, jitter 10 ms / 16.
        {"one late packet", capture({{0, 0, 0}, {1, 160, 20}, {2, 320, 50}}), 0,
         {3, 625000, 625000 / 3, -10000000, 10000000, 0, 3, 3}},
        // Packet 2 lost: the gap to packet 3 spans two packets' timestamps.
        {"lost packet", capture({{0, 0, 0}, {1, 160, 20}, {3, 480, 60}}), 0, {3, 0, 0, 0, 0, 1, 2, 2}},
        // The counter is never re-aligned: every packet after the gap is an error.
        {"gap then a run", capture({{0, 0, 0}, {1, 160, 20}, {2, 320, 40}, {4, 640, 80}, {5, 800, 100}, {6, 960, 120}, {7, 1120, 140}}),
         0, {7, 0, 0, 0, 0, 4, 3, 3}},
        {"single packet in order", capture({{0, 0, 5}}), 0, {1, 0, 0, 0, 0, 0, 1, 1}},
        {"single packet out of order", capture({{9, 0, 5}}), 0, {1, 0, 0, 0, 0, 1, 0, 0}},
        // Sequence numbers wrap: the counter wraps with them, and the pairs
        // formed across the wrap in number order still match their timing.
        {"sequence wrap", capture({{65534, 0, 0}, {65535, 160, 20}, {0, 320, 40}, {1, 480, 60}}), 65534,
         {4, 0, 0, 0, 0, 0, 4, 4}},
        // Timestamps wrap at 2^32: still one packet's worth of samples.
        {"timestamp wrap", capture({{0, 0xFFFFFF60u, 0}, {1, 0, 20}, {2, 160, 40}}), 0, {3, 0, 0, 0, 0, 0, 3, 3}},
        // Packets 1 and 2 swapped on the way. In number order packet 1 came
        // 10 ms late (jitter 625000), packet 2 came 10 ms before packet 1
        // where 20 ms after it was due (delta 30 ms).
        {"reordered arrival", capture({{0, 0, 0}, {2, 320, 20}, {1, 160, 30}}), 0,
         {3, 2460937, (625000 + 2460937) / 3, 20000000, 30000000, 2, 1, 1}},
        // Of two packets received at the same instant only the lower number
        // takes part in the runs; the timing figures use both.
        {"same receive instant", capture({{0, 0, 0}, {1, 160, 20}, {2, 320, 20}, {3, 480, 60}}), 0,
         {4, 2421875, (1250000 + 2421875) / 4, 0, 20000000, 1, 2, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = RtpUtil::calculateQoS(c.packets, c.firstExpected, 8000);
        ASSERT_TRUE(s);
        expectFigures(*s, c.expected);
    }
}

TEST(RtpStatistics, SampleRateThatIsNotPositiveGivesZeros) {
    for (int32_t rate : {0, -8000}) {
        SCOPED_TRACE(rate);
        const auto s = RtpUtil::calculateQoS(capture({{0, 0, 0}, {1, 160, 20}}), 0, rate);
        ASSERT_TRUE(s);
        expectFigures(*s, {0, 0, 0, 0, 0, 0, 0, 0});
    }
}

// The QoS test server computes the same figures for the other direction from
// its own code; both must agree on streams with loss, reordering and jitter.
TEST(RtpStatistics, AgreesWithTheServersFiguresOnRandomStreams) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        const int count = 1 + static_cast<int>(random() % 60);
        const int rate = round % 2 == 0 ? 8000 : 48000;
        std::vector<lumivex::test_peers::ServerRtpPacket> arrival;
        CapturedRtpPackets ours;
        for (int i = 0; i < count; ++i) {
            if (random() % 10 == 0) continue;  // lost
            const auto sequence = static_cast<uint16_t>(i);
            const auto timestamp = static_cast<uint32_t>(i * (rate / 50));
            const int64_t receivedNs =
                int64_t{i} * 20000000 + static_cast<int64_t>(random() % 15000000) - (random() % 8 == 0 ? 30000000 : 0);
            arrival.push_back({sequence, timestamp, receivedNs});
            ours[sequence] = {std::make_shared<trevask::measurement_library::MinimalRtpPacket>(8, sequence, timestamp, 1),
                              receivedNs};
        }
        std::sort(arrival.begin(), arrival.end(), [](const auto& a, const auto& b) {
            return a.receivedNs != b.receivedNs ? a.receivedNs < b.receivedNs : a.sequenceNumber < b.sequenceNumber;
        });
        const auto server = lumivex::test_peers::computeServerRtpStatistics(arrival, 0, rate);
        const auto s = RtpUtil::calculateQoS(ours, 0, rate);
        expectFigures(*s, {server.packets, server.maxJitter, server.meanJitter, server.skew, server.maxDelta,
                           server.sequenceErrors, server.shortestSequence, server.longestSequence});
    }
}

// A server's timestamps can leap by half the 32-bit range on every packet.
// Each gap is then a step of 2^31 - 1 samples (268 s at 8000 Hz) one way or
// the other, and 40,000 of them add up to more than 64 bits hold: the skew
// saturates at its field's limit instead of overflowing.
TEST(RtpStatistics, HostileTimestampsSaturateTheSkew) {
    struct Case {
        const char* name;
        uint32_t step;
        int64_t skew;
        int64_t maxDelta;
    };
    const std::vector<Case> cases = {
        {"forward leaps", 0x7FFFFFFFu, std::numeric_limits<int64_t>::max(), 268435455875000 - 20000000},
        {"backward leaps", 0x80000001u, std::numeric_limits<int64_t>::min(), 268435455875000 + 20000000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedRtpPackets packets;
        for (uint32_t i = 0; i < 40000; ++i) {
            const auto sequence = static_cast<uint16_t>(i);
            packets[sequence] = {std::make_shared<trevask::measurement_library::MinimalRtpPacket>(8, sequence, i * c.step, 1),
                                 int64_t{i} * 20000000};
        }
        const auto s = RtpUtil::calculateQoS(packets, 0, 8000);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->numPackets, 40000);
        EXPECT_EQ(s->skew, c.skew);
        EXPECT_EQ(s->maxDelta, c.maxDelta);
        EXPECT_GT(s->maxJitter, 0);
        EXPECT_LE(s->maxJitter, s->maxDelta);
        EXPECT_LE(s->meanJitter, s->maxJitter);
        EXPECT_EQ(s->sequenceErrors, 0);
        EXPECT_EQ(s->longestSequence, 40000);
    }
}

// Receive instants at the ends of the clock's range: their gap does not fit
// 64 bits; the delta saturates, and the jitter follows from it.
TEST(RtpStatistics, ReceiveInstantsFarApartSaturateTheDelta) {
    CapturedRtpPackets packets;
    packets[0] = {std::make_shared<trevask::measurement_library::MinimalRtpPacket>(8, 0, 0, 1),
                  std::numeric_limits<int64_t>::min() + 1};
    packets[1] = {std::make_shared<trevask::measurement_library::MinimalRtpPacket>(8, 1, 160, 1),
                  std::numeric_limits<int64_t>::max()};
    const auto s = RtpUtil::calculateQoS(packets, 0, 8000);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->numPackets, 2);
    EXPECT_EQ(s->maxDelta, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(s->skew, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(s->maxJitter, int64_t{576460752303423488});  // 2^63 / 16
    EXPECT_EQ(s->meanJitter, int64_t{576460752303423488} / 2);
}

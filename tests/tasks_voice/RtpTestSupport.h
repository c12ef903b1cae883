#pragma once
// Building RTP datagrams and captured packets for the reader and statistics tests.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "helper/RtpUtil.h"

namespace rtp_test {

inline std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values) text.push_back(static_cast<char>(v));
    return text;
}

// A 12-byte fixed header: first byte as given, marker and payload type in
// the second, then sequence number, timestamp and SSRC big-endian.
inline std::string header(uint8_t first, uint8_t second, uint16_t sequence, uint32_t timestamp, uint32_t ssrc) {
    std::string h;
    h.push_back(static_cast<char>(first));
    h.push_back(static_cast<char>(second));
    h.push_back(static_cast<char>(sequence >> 8));
    h.push_back(static_cast<char>(sequence));
    for (int b = 0; b < 4; ++b) h.push_back(static_cast<char>(timestamp >> (24 - 8 * b)));
    for (int b = 0; b < 4; ++b) h.push_back(static_cast<char>(ssrc >> (24 - 8 * b)));
    return h;
}

struct Arrival {
    uint16_t sequence;
    uint32_t timestamp;
    int64_t receivedMs;
};

inline trevask::measurement_library::CapturedRtpPackets capture(std::initializer_list<Arrival> arrivals) {
    trevask::measurement_library::CapturedRtpPackets packets;
    for (const auto& a : arrivals) {
        packets[a.sequence] = {std::make_shared<trevask::measurement_library::MinimalRtpPacket>(8, a.sequence, a.timestamp, 1),
                               a.receivedMs * 1000000};
    }
    return packets;
}

}  // namespace rtp_test

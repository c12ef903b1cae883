// The RTP reader on tables of datagrams, and the VoIP task's capture of them.

#include <gtest/gtest.h>

#include "RtpTestSupport.h"
#include "helper/RtpPacket.h"
#include "model/QosTaskConfigurations.h"
#include "tasks/VoipTask.h"

#include <cstring>
#include <optional>

using trevask::measurement_library::rtp_packet_t;
using trevask::measurement_library::UdpStream;
using trevask::measurement_library::VoipTask;
using namespace rtp_test;

namespace {

struct Decoded {
    uint64_t version, csrcCount;
    bool padding, extension, marker;
    int payloadType;
    uint16_t sequence;
    uint32_t timestamp, ssrc;
    std::string data, paddingBytes;
    std::optional<std::pair<uint16_t, uint16_t>> headerExtension;
};

Decoded decode(const std::string& datagram) {
    kaitai::kstream stream(datagram);
    rtp_packet_t p(&stream);
    Decoded d{p.version(),       p.csrc_count(), p.has_padding(), p.has_extension(), p.marker(),
              p.payload_type(),  p.sequence_number(), p.timestamp(), p.ssrc(), p.data(), p.padding(), std::nullopt};
    if (p.header_extension() != nullptr) d.headerExtension = {p.header_extension()->id(), p.header_extension()->length()};
    EXPECT_EQ(p._root(), &p);
    return d;
}

}  // namespace

TEST(RtpPacketReader, DecodesHeaderDataAndPadding) {
    struct Case {
        const char* name;
        std::string datagram;
        Decoded expected;
    };
    const std::string csrcs = bytes({0, 0, 0, 1, 0, 0, 0, 2});
    const std::vector<Case> cases = {
        {"plain header", bytes({0x80, 0x08, 0x00, 0x05, 0x00, 0x00, 0x03, 0x20, 0x00, 0x00, 0x00, 0x07}),
         {2, 0, false, false, false, 8, 5, 800, 7, "", "", std::nullopt}},
        {"marker, payload type 127, highest values", header(0x80, 0xFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF) + "xy",
         {2, 0, false, false, true, 127, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, "xy", "", std::nullopt}},
        {"padding of four, count byte included", header(0xA0, 0x00, 1, 2, 3) + "data" + bytes({0, 0, 0, 4}),
         {2, 0, true, false, false, 0, 1, 2, 3, "data", bytes({0, 0, 0, 4}), std::nullopt}},
        {"padding count 0 keeps everything as data", header(0xA0, 0x00, 1, 2, 3) + bytes({7, 0}),
         {2, 0, true, false, false, 0, 1, 2, 3, bytes({7, 0}), "", std::nullopt}},
        {"two CSRCs stay in the data", header(0x82, 0x08, 9, 10, 11) + csrcs + "pay",
         {2, 2, false, false, false, 8, 9, 10, 11, csrcs + "pay", "", std::nullopt}},
        {"extension only: its length field is not followed", header(0x90, 0x08, 1, 1, 1) + bytes({0xBE, 0xDE, 0x00, 0x09}),
         {2, 0, false, true, false, 8, 1, 1, 1, "", "", std::make_pair(uint16_t{0xBEDE}, uint16_t{9})}},
        {"other version decodes as it is", header(0x40, 0x08, 1, 1, 1),
         {1, 0, false, false, false, 8, 1, 1, 1, "", "", std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d = decode(c.datagram);
        EXPECT_EQ(d.version, c.expected.version);
        EXPECT_EQ(d.csrcCount, c.expected.csrcCount);
        EXPECT_EQ(d.padding, c.expected.padding);
        EXPECT_EQ(d.extension, c.expected.extension);
        EXPECT_EQ(d.marker, c.expected.marker);
        EXPECT_EQ(d.payloadType, c.expected.payloadType);
        EXPECT_EQ(d.sequence, c.expected.sequence);
        EXPECT_EQ(d.timestamp, c.expected.timestamp);
        EXPECT_EQ(d.ssrc, c.expected.ssrc);
        EXPECT_EQ(d.data, c.expected.data);
        EXPECT_EQ(d.paddingBytes, c.expected.paddingBytes);
        EXPECT_EQ(d.headerExtension, c.expected.headerExtension);
    }
}

TEST(RtpPacketReader, ShortDatagramsFailToDecode) {
    struct Case {
        const char* name;
        std::string datagram;
        bool negativeLength;
    };
    const std::vector<Case> cases = {
        {"empty", "", false},
        {"one byte", bytes({0x80}), false},
        {"eleven bytes", header(0x80, 8, 1, 1, 1).substr(0, 11), false},
        {"padding and extension flags on a bare header", header(0xB0, 8, 1, 1, 1), false},
        {"extension flag with three extension bytes", header(0x90, 8, 1, 1, 1) + bytes({0, 0, 0}), false},
        {"stored padding longer than what follows the header", header(0xA0, 8, 1, 1, 1) + bytes({0, 10}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kaitai::kstream stream(c.datagram);
        if (c.negativeLength)
            EXPECT_THROW(rtp_packet_t p(&stream), kaitai::negative_length_error);
        else
            EXPECT_THROW(rtp_packet_t p(&stream), kaitai::end_of_stream_error);
    }
}

// The capture keeps decodable version-2 packets by sequence number (the later
// of two with the same number) and ignores everything else.
TEST(VoipCapture, KeepsDecodableVersionTwoPacketsOnly) {
    VoipTask task;
    auto feed = [&](const std::string& datagram, std::optional<uint64_t> length = std::nullopt) {
        UdpStream::Datagram buffer{};
        std::memcpy(buffer.data(), datagram.data(), std::min(datagram.size(), buffer.size()));
        task.capturePacket(buffer, length.value_or(datagram.size()));
    };
    feed(header(0x80, 0x88, 0, 0, 42));                    // kept
    feed(header(0x80, 0x08, 1, 160, 42).substr(0, 11));    // truncated: ignored
    feed(header(0x40, 0x08, 2, 320, 42));                  // version 1: ignored
    feed(header(0x00, 0x08, 3, 480, 42));                  // version 0 (not RTP): ignored
    feed(header(0xB0, 0x08, 4, 640, 42));                  // flags without their bytes: ignored
    feed(header(0x80, 0x08, 5, 800, 42));                  // kept
    feed(header(0x80, 0x00, 5, 999, 43));                  // same number: replaces
    feed(header(0x80, 0x08, 6, 960, 42) + "tail", 12);     // only the datagram's own bytes count
    feed(header(0x80, 0x08, 7, 960, 42), 0);               // a length of 0 is nothing

    const auto captured = task.capturedPacketsSnapshot();
    ASSERT_EQ(captured.size(), 3u);
    EXPECT_EQ(captured.count(0), 1u);
    EXPECT_EQ(captured.at(0).packet->payloadType, 8);
    EXPECT_EQ(captured.at(5).packet->timestamp, 999u);
    EXPECT_EQ(captured.at(5).packet->ssrc, 43u);
    EXPECT_EQ(captured.at(5).packet->payloadType, 0);
    EXPECT_EQ(captured.at(6).packet->timestamp, 960u);
    EXPECT_GE(captured.at(5).receivedNs, captured.at(0).receivedNs);
}

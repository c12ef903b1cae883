#pragma once
// Reader of one RTP datagram (the fixed header of RFC 3550) on the kaitai
// byte stream, and the small record the VoIP test keeps of each packet.
//
// The reader decodes the fixed header, the first word of a header extension
// (identifier and length) and splits the rest into data and padding; the CSRC
// list and the extension's words are not decoded and stay at the start of
// the data string. Decoding happens in the constructor; a datagram too short
// for what its flags announce raises kaitai::end_of_stream_error or
// kaitai::negative_length_error (both kaitai::stream_error).

#include "platform/kaitai/KaitaiStream.h"

#include <cstdint>
#include <memory>
#include <string>

namespace trevask::measurement_library {

class rtp_packet_t : public kaitai::kstruct {
public:
    class header_extention_t;

    // Static payload types of RFC 3551; any 7-bit value may be held.
    enum payload_type_enum_t : int32_t {
        PAYLOAD_TYPE_ENUM_PCMU = 0,
        PAYLOAD_TYPE_ENUM_GSM = 3,
        PAYLOAD_TYPE_ENUM_G723 = 4,
        PAYLOAD_TYPE_ENUM_DVI4_8000 = 5,
        PAYLOAD_TYPE_ENUM_DVI4_16000 = 6,
        PAYLOAD_TYPE_ENUM_LPC = 7,
        PAYLOAD_TYPE_ENUM_PCMA = 8,
        PAYLOAD_TYPE_ENUM_G722 = 9,
        PAYLOAD_TYPE_ENUM_L16_STEREO = 10,
        PAYLOAD_TYPE_ENUM_L16_MONO = 11,
        PAYLOAD_TYPE_ENUM_QCELP = 12,
        PAYLOAD_TYPE_ENUM_CN = 13,
        PAYLOAD_TYPE_ENUM_MPA = 14,
        PAYLOAD_TYPE_ENUM_G728 = 15,
        PAYLOAD_TYPE_ENUM_DVI4_11025 = 16,
        PAYLOAD_TYPE_ENUM_DVI4_22050 = 17,
        PAYLOAD_TYPE_ENUM_G729 = 18,
        PAYLOAD_TYPE_ENUM_CELB = 25,
        PAYLOAD_TYPE_ENUM_JPEG = 26,
        PAYLOAD_TYPE_ENUM_NV = 28,
        PAYLOAD_TYPE_ENUM_H261 = 31,
        PAYLOAD_TYPE_ENUM_MPV = 32,
        PAYLOAD_TYPE_ENUM_MP2T = 33,
        PAYLOAD_TYPE_ENUM_H263 = 34,
    };

    explicit rtp_packet_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent = nullptr, rtp_packet_t* p__root = nullptr);
    ~rtp_packet_t() override;

    uint64_t version() const { return m_version; }
    bool has_padding() const { return m_has_padding; }
    bool has_extension() const { return m_has_extension; }
    uint64_t csrc_count() const { return m_csrc_count; }
    bool marker() const { return m_marker; }
    payload_type_enum_t payload_type() const { return m_payload_type; }
    uint16_t sequence_number() const { return m_sequence_number; }
    uint32_t timestamp() const { return m_timestamp; }
    uint32_t ssrc() const { return m_ssrc; }
    // Present only when the extension flag is set.
    header_extention_t* header_extension() const { return m_header_extension.get(); }
    const std::string& data() const { return m_data; }
    const std::string& padding() const { return m_padding; }

    // The padding count stored in the last byte of the datagram (read without
    // moving the stream's position); computed once.
    uint8_t len_padding_if_exists();
    // The stored count when the padding flag is set, else 0; computed once.
    int32_t len_padding();

    rtp_packet_t* _root() const { return m__root; }
    kaitai::kstruct* _parent() const { return m__parent; }

private:
    void _read();

    uint64_t m_version = 0;
    bool m_has_padding = false;
    bool m_has_extension = false;
    uint64_t m_csrc_count = 0;
    bool m_marker = false;
    payload_type_enum_t m_payload_type = PAYLOAD_TYPE_ENUM_PCMU;
    uint16_t m_sequence_number = 0;
    uint32_t m_timestamp = 0;
    uint32_t m_ssrc = 0;
    std::unique_ptr<header_extention_t> m_header_extension;
    std::string m_data;
    std::string m_padding;

    bool f_len_padding_if_exists = false;
    uint8_t m_len_padding_if_exists = 0;
    bool f_len_padding = false;
    int32_t m_len_padding = 0;

    rtp_packet_t* m__root;
    kaitai::kstruct* m__parent;
};

class rtp_packet_t::header_extention_t : public kaitai::kstruct {
public:
    header_extention_t(kaitai::kstream* p__io, rtp_packet_t* p__parent, rtp_packet_t* p__root);

    uint16_t id() const { return m_id; }
    uint16_t length() const { return m_length; }

    rtp_packet_t* _root() const { return m__root; }
    rtp_packet_t* _parent() const { return m__parent; }

private:
    uint16_t m_id = 0;
    uint16_t m_length = 0;
    rtp_packet_t* m__root;
    rtp_packet_t* m__parent;
};

// What the VoIP test keeps of a received packet; shared between the capture
// store and the statistics.
struct MinimalRtpPacket {
    int32_t payloadType = 0;
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;

    MinimalRtpPacket() = default;
    MinimalRtpPacket(int32_t payloadType, uint16_t sequenceNumber, uint32_t timestamp, uint32_t ssrc)
        : payloadType(payloadType), sequenceNumber(sequenceNumber), timestamp(timestamp), ssrc(ssrc) {}
    explicit MinimalRtpPacket(const rtp_packet_t& packet)
        : payloadType(static_cast<int32_t>(packet.payload_type())),
          sequenceNumber(packet.sequence_number()),
          timestamp(packet.timestamp()),
          ssrc(packet.ssrc()) {}
};

}  // namespace trevask::measurement_library

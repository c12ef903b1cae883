// One RTP datagram as the VoIP test's receive thread decodes it. The reader
// fails only with the byte stream's errors; a datagram it reads is split
// without loss into header, data and padding.

#include "../FuzzTarget.h"

#include "helper/RtpPacket.h"
#include "platform/kaitai/KaitaiStream.h"

using namespace trevask::measurement_library;

LUMIVEX_FUZZ_TARGET(rtp_packet) {
    try {
        kaitai::kstream stream{std::string(lumivex_fuzz::asText(data, size))};
        rtp_packet_t packet(&stream);
        const std::size_t header = 12 + (packet.has_extension() ? 4 : 0);
        FUZZ_CHECK(header + packet.data().size() + packet.padding().size() == size);
        FUZZ_CHECK(packet.version() < 4 && packet.csrc_count() < 16);
        FUZZ_CHECK(packet.payload_type() >= 0 && packet.payload_type() < 128);
        if (packet.version() == 2) {
            const MinimalRtpPacket minimal(packet);
            FUZZ_CHECK(minimal.sequenceNumber == packet.sequence_number());
        }
    } catch (const kaitai::stream_error&) {
    }
    return 0;
}

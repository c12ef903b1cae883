// The speed-test protocol envelope as the measurement server sends it, and
// the UDP ping's answer datagram. A decoded envelope writes back to bytes
// that decode to the same envelope, in exactly the announced length.

#include "../FuzzTarget.h"

#include "SprintMessages.h"
#include "UdpPingCodec.h"

#include <span>

using namespace vela_client;
using namespace vela_client::sprintproto;

LUMIVEX_FUZZ_TARGET(speed_codec) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)decode_rtt_udp_response(bytes);

    auto decoded = Msg::decode(bytes);
    if (!decoded) {
        FUZZ_CHECK(!decoded.error().to_string().empty());
        return 0;
    }
    const Msg& msg = *decoded;
    (void)to_log_text(msg);
    const std::vector<std::uint8_t> encoded = msg.encode();
    FUZZ_CHECK(encoded.size() == msg.encoded_len());
    FUZZ_CHECK(encoded.size() <= size);  // defaults and unknown fields are not written
    auto again = Msg::decode(encoded);
    FUZZ_CHECK_MSG(again.has_value(), again ? std::string() : again.error().to_string());
    FUZZ_CHECK_MSG(*again == msg, to_log_text(*again) + " <> " + to_log_text(msg));
    return 0;
}

#include "UdpPingCodec.h"

#include "SprintMessages.h"

using namespace vela_client::sprintproto;

namespace vela_client {

std::optional<std::string> encode_rtt_udp_request(std::vector<std::uint8_t>& buffer, std::uint32_t identifier)
{
    buffer.clear();
    const Msg msg(RttUdpRequest{identifier});
    msg.encode(buffer);
    if (buffer.size() != msg.encoded_len())
        return std::string("could not encode msg");
    return std::nullopt;
}

Expected<std::uint32_t, std::string> decode_rtt_udp_response(std::span<const std::uint8_t> datagram)
{
    auto msg = Msg::decode(datagram);
    if (!msg)
        return unexpected(std::string("failed to decode proto message"));
    if (const auto* response = msg->get<RttUdpResponse>())
        return response->identifier;
    return unexpected(std::string("unexpected message"));
}

} // namespace vela_client

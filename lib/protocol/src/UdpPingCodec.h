#pragma once

// The UDP ping's datagrams: one protocol envelope each, message id 0, an
// RttUdpRequest from the client and an RttUdpResponse from the server.

#include "VelaExpected.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vela_client {

// Replaces the buffer's content with the datagram of ping `identifier` (its
// capacity is reused); the failure text "could not encode msg" otherwise.
std::optional<std::string> encode_rtt_udp_request(std::vector<std::uint8_t>& buffer, std::uint32_t identifier);

// The identifier that a received datagram answers; "failed to decode proto
// message" for bytes that are no envelope, "unexpected message" for an
// envelope of another kind (or none). The message id is not looked at.
Expected<std::uint32_t, std::string> decode_rtt_udp_response(std::span<const std::uint8_t> datagram);

} // namespace vela_client

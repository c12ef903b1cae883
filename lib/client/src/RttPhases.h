#pragma once

// RTT_TCP and RTT_UDP. RTT_TCP has runner 0 ping the server over its TCP
// connection and turns the pong times into samples with round-trip and jitter
// statistics; RTT_UDP hands the whole measurement to the UDP ping routine.
// The caller logs the start and the outcome.

#include "ClientResult.h"
#include "MeasurementController.h"
#include "VelaExpected.h"

#include <boost/asio/awaitable.hpp>

namespace vela_client {

boost::asio::awaitable<OrError<RttTcpResult>> rtt_tcp_phase(const ClientConfig& config, MeasurementController& controller);
boost::asio::awaitable<OrError<RttUdpResult>> rtt_udp_phase(const ClientConfig& config, MeasurementController& controller);

// The RTT_TCP result of a pong list (times as the runner reported them).
// Fails with "number of pings exceeds maximum allowed result value" for more
// pongs than a 32-bit count holds.
OrError<RttTcpResult> rtt_tcp_result(const std::vector<RttSample>& pongs, std::uint32_t num_requested, PhaseTiming timing,
                                     std::vector<ConnectionStreamInfo> stream_infos);

} // namespace vela_client

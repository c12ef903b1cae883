#include "RttPhases.h"

namespace asio = boost::asio;

namespace vela_client {

asio::awaitable<OrError<RttUdpResult>> rtt_udp_phase(const ClientConfig& config, MeasurementController& controller)
{
    (void)config;
    (void)controller;
    co_return OrError<RttUdpResult>::failure("RTT UDP ping not available");
}

} // namespace vela_client

#include "RttPhases.h"

#include "UdpPing.h"

namespace asio = boost::asio;

namespace vela_client {

asio::awaitable<OrError<RttUdpResult>> rtt_udp_phase(const ClientConfig& config, MeasurementController& c)
{
    UdpPingContext context;
    context.log_id = client_log_id(c);
    context.run_start = c.start;
    context.server = c.server_udp_addr;
    context.progress_interval = c.progress_update_limit;
    context.progress = c.phase_index.get();
    context.abort_watch = c.abort_watch;

    UdpPingParams params;
    params.num_pings = config.rtt_udp_num_packets;
    params.delay = config.rtt_udp_delay_ms;
    params.timebox = config.rtt_udp_timeout_ms;
    params.receive_timeout = config.rtt_udp_receive_timeout_ms;

    auto outcome = co_await rtt_udp_ping(context, params);
    if (!outcome)
        co_return OrError<RttUdpResult>::failure(outcome.error());
    co_return OrError<RttUdpResult>(std::move(*outcome));
}

} // namespace vela_client

#include "RttPhases.h"

#include "ControllerSupport.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace asio = boost::asio;

namespace vela_client {

namespace {

float seconds_f32(Duration d) { return static_cast<float>(d.secs()) + static_cast<float>(d.subsec_nanos()) / 1e9F; }

// The larger of the ping share and the time share (the other one when one
// of them is not a number), at most 1.
float ping_fraction(std::uint32_t done, std::uint32_t planned, Duration elapsed, Duration timebox)
{
    const float by_count = static_cast<float>(done) / static_cast<float>(planned);
    const float by_time = seconds_f32(elapsed) / seconds_f32(timebox);
    float f;
    if (std::isnan(by_count))
        f = by_time;
    else if (std::isnan(by_time))
        f = by_count;
    else
        f = std::max(by_count, by_time);
    return std::min(f, 1.0F);
}

} // namespace

OrError<RttTcpResult> rtt_tcp_result(const std::vector<RttSample>& pongs, std::uint32_t num_requested, PhaseTiming timing,
                                     std::vector<ConnectionStreamInfo> stream_infos)
{
    RttTcpResult result;
    if (!stream_infos.empty())
        result.connection_stream_info = std::move(stream_infos);
    result.timing = timing;
    if (pongs.size() > std::numeric_limits<std::uint32_t>::max())
        return OrError<RttTcpResult>::failure("number of pings exceeds maximum allowed result value");
    result.num_requested = num_requested;
    result.num_sent = static_cast<std::uint32_t>(pongs.size());
    result.rtts = pongs;
    std::vector<Duration> rtts;
    rtts.reserve(pongs.size());
    for (const auto& p : pongs)
        rtts.push_back(p.rtt);
    result.rtt = duration_stats(rtts);
    result.jitter = duration_stats(successive_differences(rtts));
    return result;
}

asio::awaitable<OrError<RttTcpResult>> rtt_tcp_phase(const ClientConfig& config, MeasurementController& c)
{
    using Clock = std::chrono::steady_clock;
    using Result = OrError<RttTcpResult>;

    RttTcpPingParams params;
    params.runner_id = 0;
    params.num_pings = config.rtt_tcp_num_packets;
    params.ping_interval = config.rtt_tcp_delay_ms;
    params.timebox = config.rtt_tcp_timeout_ms;
    params.payload_size = config.rtt_tcp_payload_size;

    std::optional<ProgressSender> progress = c.progress_tx;
    const std::uint32_t phase_count = c.phase_count;
    const std::uint32_t index_at_start = co_await read_phase_index(c);
    if (c.progress_tx)
        c.progress_tx->send(progress_record(Phase::RttTcp, index_at_start, phase_count, 0.0F));
    const auto phase_start = Clock::now();

    if (auto failure = co_await spawn_connection_tasks(c))
        co_return Result::failure(*failure);

    StreamInfos stream_infos;
    const std::string id = c.log_id;
    auto reach = CommandReach::broadcast(c, 1, command::RttTcpPing{params});

    std::vector<RttSample> pongs;
    for (;;) {
        auto next = co_await next_feedback(c, reach);
        if (next.end == PhaseFeedback::End::Aborted)
            co_return Result::failure(kAbortedText);
        if (next.end != PhaseFeedback::End::None)
            co_return Result::failure("failed to receive pong");  // closed, or runner 0 ended without a pong
        RunnerFeedback& fb = *next.feedback;
        if (auto* ack = std::get_if<feedback::RttTcpPingAck>(&fb)) {
            stream_infos.acknowledged(ack->runner, ack->stream_info);
        } else if (auto* p = std::get_if<feedback::RttTcpPingProgress>(&fb)) {
            if (progress) {
                const float f = ping_fraction(p->pings_sent, params.num_pings,
                                              Duration::from_chrono(Clock::now() - phase_start), params.timebox);
                progress->send(progress_record(Phase::RttTcp, index_at_start, phase_count, f));
            }
        } else if (auto* pong = std::get_if<feedback::RttTcpPong>(&fb)) {
            if (!pong->pongs)
                co_return Result::failure(pong->pongs.error());
            pongs = std::move(*pong->pongs);
            break;
        } else {
            log_run(LogLevel::Warn, id, "rtt_tcp_ping: unexpected feedback from runner: " + feedback_debug_text(fb));
        }
    }

    auto result = rtt_tcp_result(pongs, config.rtt_tcp_num_packets, phase_timing(c, phase_start), stream_infos.take());
    if (!result)
        co_return result;
    log_run(LogLevel::Info, client_log_id(c), "RTT TCP rtt_stats: " + to_string(result.value().rtt));
    log_run(LogLevel::Info, client_log_id(c), "RTT TCP jitter_stats: " + to_string(result.value().jitter));

    ProgressRecord values;
    if (const auto& avg = result.value().rtt.avg)
        values.rtt_ns = avg->as_nanos_u64();
    co_await finish_phase(c, Phase::RttTcp, values);
    co_return result;
}

} // namespace vela_client

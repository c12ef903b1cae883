#include "ThroughputPhases.h"

#include "ControllerSupport.h"
#include "ThroughputRecorder.h"

#include <algorithm>

namespace asio = boost::asio;

namespace vela_client {

namespace {

float seconds_f32(Duration d) { return static_cast<float>(d.secs()) + static_cast<float>(d.subsec_nanos()) / 1e9F; }

struct ThroughputSide {
    bool downlink;
    Phase kind;
    Duration duration;
    Duration slow_start;
    std::string start_message;
    const char* channel_closed;
    const char* unexpected;
    const char* nothing_measured;
};

std::uint64_t whole_millis(Duration d)
{
    const auto ms = d.as_nanos() / 1'000'000U;
    return ms > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(ms);
}

template <class Ack, class Progress, class Completed>
asio::awaitable<OrError<ThroughputResult>> run_throughput(MeasurementController& c, const ThroughputSide& side,
                                                          const std::string& run_log_id)
{
    using Clock = std::chrono::steady_clock;
    using Result = OrError<ThroughputResult>;

    log_run(LogLevel::Info, run_log_id, side.start_message);

    const Duration total = side.duration.saturating_add(side.slow_start);
    const auto phase_start = Clock::now();
    std::optional<ProgressSender> progress = c.progress_tx;

    const std::uint32_t index_at_start = co_await read_phase_index(c);
    const std::uint32_t phase_count = c.phase_count;
    if (progress)
        progress->send(progress_record(side.kind, index_at_start, phase_count, 0.0F));

    if (auto failure = co_await spawn_connection_tasks(c))
        co_return Result::failure(*failure);

    const std::uint8_t limit = side.downlink ? c.dl_connections : c.ul_connections;
    auto reach = CommandReach::broadcast(c, limit, side.downlink ? RunnerCommand(command::DownlinkTest{total})
                                                                  : RunnerCommand(command::UplinkTest{total}));

    StreamInfos stream_infos;
    // The completed histories and the progress series, kept as compactly as
    // the figures allow.
    const std::optional<Duration> cut = side.slow_start.is_zero() ? std::nullopt : std::optional<Duration>(side.slow_start);
    ThroughputRecorder recorder(cut, c.raw_history_sampling_rate);
    auto last_update = Clock::now();
    const std::string id = c.log_id;
    const std::uint64_t limit_ms = whole_millis(c.progress_update_limit);
    const float total_s = seconds_f32(total);
    std::optional<std::string> runner_error;

    for (;;) {
        auto next = co_await next_feedback(c, reach);
        if (next.end == PhaseFeedback::End::AllDone)
            break;
        if (next.end == PhaseFeedback::End::Aborted)
            co_return Result::failure(kAbortedText);
        if (next.end == PhaseFeedback::End::Closed) {
            log_run(LogLevel::Error, id, side.channel_closed);
            break;
        }
        RunnerFeedback& fb = *next.feedback;
        if (!side.downlink)
            log_run(LogLevel::Debug, id, "uplink_test: received update: " + feedback_debug_text(fb));

        if (auto* ack = std::get_if<Ack>(&fb)) {
            reach.acknowledged(ack->runner);
            stream_infos.acknowledged(ack->runner, ack->stream_info);
        } else if (auto* batch = std::get_if<Progress>(&fb)) {
            if (runner_error)
                continue;
            recorder.progress(batch->runner, std::move(batch->samples));
            recorder.prune(reach.waiting());
            const auto now = Clock::now();
            const auto since_ms = static_cast<std::uint64_t>(
                std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(now - last_update).count()));
            if (since_ms >= limit_ms) {
                const Throughput running = recorder.running();
                if (progress) {
                    const float f =
                        std::min(1.0F, seconds_f32(Duration::from_chrono(now - phase_start)) / total_s);
                    if (f < 1.0F) {
                        ProgressRecord r = progress_record(side.kind, index_at_start, phase_count, f);
                        if (side.downlink)
                            r.download_bps = running.bps;
                        else
                            r.upload_bps = running.bps;
                        progress->send(r);
                    }
                }
                last_update = now;
            }
        } else if (auto* done = std::get_if<Completed>(&fb)) {
            if (!done->samples) {
                // The phase fails with the first runner error, but only once
                // every runner that acknowledged has completed, so that their
                // reports do not spill into the next phase.
                if (!runner_error)
                    runner_error = done->samples.error();
            } else {
                recorder.completed(done->runner, std::move(*done->samples));
            }
            reach.completed(done->runner);
        } else {
            co_return Result::failure(side.unexpected + feedback_debug_text(fb));
        }
    }
    if (!runner_error && !reach.lost().empty())
        runner_error = "runner " + std::to_string(reach.lost().front()) + " ended without completing the test";
    if (runner_error)
        co_return Result::failure(*runner_error);

    double bps = 0.0;
    ThroughputResult result = throughput_result(recorder.result(), phase_timing(c, phase_start), stream_infos.take(), &bps);
    // A phase that measured nothing has failed: a zero figure would read as
    // a measurement of a dead link.
    if (result.bytes == 0)
        co_return Result::failure(side.nothing_measured);

    ProgressRecord values;
    if (side.downlink)
        values.download_bps = bps;
    else
        values.upload_bps = bps;
    co_await finish_phase(c, side.kind, values);
    co_return result;
}

} // namespace

ThroughputResult throughput_result(const PhaseSamples& completed, Duration slow_start, Duration sampling_rate,
                                   PhaseTiming timing, std::vector<ConnectionStreamInfo> stream_infos, double* bps)
{
    const std::optional<Duration> cut = slow_start.is_zero() ? std::nullopt : std::optional<Duration>(slow_start);
    return throughput_result(compute_throughput(completed, cut, sampling_rate), timing, std::move(stream_infos), bps);
}

ThroughputResult throughput_result(Throughput t, PhaseTiming timing, std::vector<ConnectionStreamInfo> stream_infos,
                                   double* bps)
{
    ThroughputResult result;
    result.timing.relative_start = timing.relative_start;
    result.timing.duration = t.duration;
    result.bytes = t.bytes;
    result.bps = bps_to_u64(t.bps);
    if (bps)
        *bps = t.bps;
    if (t.raw_history)
        result.raw_data = to_raw_data(std::move(*t.raw_history));
    if (!stream_infos.empty())
        result.connection_stream_info = std::move(stream_infos);
    return result;
}

asio::awaitable<OrError<ThroughputResult>> run_downlink_test(const ClientConfig& config, MeasurementController& c,
                                                             const std::string& log_id)
{
    ThroughputSide side{true,
                        Phase::Downlink,
                        config.dl_duration_ms,
                        config.dl_slow_start_duration_ms,
                        "Starting DOWNLINK phase (tcp_streams: " + std::to_string(config.dl_num_connections) +
                            ", duration: " + whole_seconds_text(config.dl_duration_ms) + ")",
                        "failed to receive feedback for downlink test",
                        "unexpected feedback from runner ",
                        "no data was received in the measurement window"};
    co_return co_await run_throughput<feedback::DownlinkTestAck, feedback::DownlinkTestProgress,
                                      feedback::DownlinkTestCompleted>(c, side, log_id);
}

asio::awaitable<OrError<ThroughputResult>> run_uplink_test(const ClientConfig& config, MeasurementController& c,
                                                           const std::string& log_id)
{
    ThroughputSide side{false,
                        Phase::Uplink,
                        config.ul_duration_ms,
                        config.ul_slow_start_duration_ms,
                        "Starting UPLINK phase (tcp_streams: " + std::to_string(config.ul_num_connections) +
                            ", duration: " + format_duration(config.ul_duration_ms) + ")",
                        "uplink_test: failed to receive feedback",
                        "unexpected feedback from runner: ",
                        "the server counted no data in the measurement window"};
    co_return co_await run_throughput<feedback::UplinkTestAck, feedback::UplinkTestProgress,
                                      feedback::UplinkTestCompleted>(c, side, log_id);
}

} // namespace vela_client

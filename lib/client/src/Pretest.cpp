#include "Pretest.h"

#include "ControllerSupport.h"

namespace asio = boost::asio;

namespace vela_client {

namespace {

struct PretestSide {
    Phase kind;
    Duration duration;
    const char* runner_failed;  // after "[id] "
    const char* channel_closed;
    const char* reduced;
    bool downlink;
};

template <class Ack, class Completed>
asio::awaitable<std::optional<std::string>> run_pretest(MeasurementController& c, const PretestSide& side)
{
    using Clock = std::chrono::steady_clock;
    std::uint8_t& connections = side.downlink ? c.dl_connections : c.ul_connections;

    std::optional<ProgressSender> progress = c.progress_tx;
    const std::uint32_t phase_count = c.phase_count;
    const std::uint32_t index_at_start = co_await read_phase_index(c);
    const auto phase_start = Clock::now();

    ProgressTicker ticker = ProgressTicker::start(
        c.executor, side.kind,
        TickerParams{phase_start, side.duration, c.progress_update_limit, progress, index_at_start, phase_count});

    if (auto failure = co_await spawn_connection_tasks(c)) {
        ticker.abort();
        co_return failure;
    }

    RunnerCommand command = side.downlink ? RunnerCommand(command::DownlinkPretest{side.duration})
                                          : RunnerCommand(command::UplinkPretest{side.duration});
    auto reach = CommandReach::broadcast(c, connections, std::move(command));

    std::uint32_t total_chunks = 0;
    const std::string id = c.log_id;

    for (;;) {
        auto next = co_await next_feedback(c, reach);
        if (next.end == PhaseFeedback::End::AllDone)
            break;
        if (next.end == PhaseFeedback::End::Aborted) {
            ticker.abort();
            co_return std::string(kAbortedText);
        }
        if (next.end == PhaseFeedback::End::Closed) {
            ticker.abort();
            co_return std::string(side.channel_closed);
        }
        RunnerFeedback& fb = *next.feedback;
        if (auto* ack = std::get_if<Ack>(&fb)) {
            reach.acknowledged(ack->runner);
            continue;
        }
        if (auto* done = std::get_if<Completed>(&fb)) {
            if (done->chunks)
                total_chunks += *done->chunks;  // wraps at 2^32 like the counter it mirrors
            else
                log_run(LogLevel::Error, id, std::string(side.runner_failed) + done->chunks.error());
            reach.completed(done->runner);
            continue;
        }
        ticker.abort();
        co_return "unexpected feedback from runner " + feedback_debug_text(fb);
    }
    for (const std::uint8_t lost : reach.lost())
        log_run(LogLevel::Error, id,
                std::string(side.runner_failed) + "runner " + std::to_string(lost) + " ended without completing");

    co_await ticker.abort_and_wait();

    co_await finish_phase(c, side.kind);

    if (side.downlink)
        log_run(LogLevel::Trace, client_log_id(c),
                "downlink pretest transmitted a total of " + std::to_string(total_chunks) + " chunks");

    if (total_chunks < kMinPretestChunks) {
        connections = 1;
        log_run(LogLevel::Info, c.log_id, side.reduced);
    }
    co_return std::nullopt;
}

} // namespace

asio::awaitable<std::optional<std::string>> run_downlink_pretest(MeasurementController& controller,
                                                                 const ClientConfig& config)
{
    const PretestSide side{Phase::DownlinkPretest,
                           config.dl_pretest_duration_ms,
                           "downlink pretest: runner failed: ",
                           "failed to receive runner feedback for downlink pretest",
                           "downlink pretest reduced the number of connections to 1",
                           true};
    co_return co_await run_pretest<feedback::DownlinkPretestAck, feedback::DownlinkPretestCompleted>(controller, side);
}

asio::awaitable<std::optional<std::string>> run_uplink_pretest(MeasurementController& controller,
                                                               const ClientConfig& config)
{
    const PretestSide side{Phase::UplinkPretest,
                           config.ul_pretest_duration_ms,
                           "uplink_pretest: runner failed: ",
                           "failed to receive runner feedback for uplink pretest",
                           "uplink pretest reduced the number of connections to 1",
                           false};
    co_return co_await run_pretest<feedback::UplinkPretestAck, feedback::UplinkPretestCompleted>(controller, side);
}

} // namespace vela_client

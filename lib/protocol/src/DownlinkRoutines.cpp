// Downlink routines: the pretest's doubling bursts and the timed test with
// its per-chunk byte history.

#include "AsyncTask.h"
#include "RoutineSupport.h"
#include "RunnerRoutines.h"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;
using namespace vela_client::sprintproto;

namespace vela_client {

using routine::Clock;

namespace {

// Hands the test's progress pieces on to the controller, in order, so that
// the routine never waits on the feedback channel while chunks arrive. Ends
// once the routine has closed its end and every piece is handed on.
asio::awaitable<bool> downlink_progress_receiver(std::string log_id, UnboundedReceiver<SampleUpdate> progress,
                                                 std::uint8_t runner, std::shared_ptr<FeedbackSender> feedback)
{
    for (;;) {
        auto piece = co_await progress.recv();
        if (!piece)
            break;  // closed and drained
        // The controller may be gone; progress is then dropped.
        routine::send_progress(feedback, feedback::DownlinkTestProgress{runner, std::move(*piece)});
    }
    routine::log_line(LogLevel::Debug, log_id, "downlink_test: channel disconnected, terminating progress receiver task");
    co_return true;
}

} // namespace

asio::awaitable<RoutineOutcome<std::uint32_t>> downlink_pretest(Runner& runner, Duration pretest, const RoutineLimits& limits)
{
    auto& connection = *runner.connection;
    std::uint32_t count = 1;
    std::uint32_t last_count = 0;
    const auto start = Clock::now();
    // A round may not run on past the pretest by more than the test grace: a
    // server that trickles its chunks then ends the pretest with the last
    // complete round, and the connection, out of step, is closed.
    const auto give_up = start + pretest.saturating_add(limits.test_grace).to_chrono();
    while (routine::since(start) < pretest) {
        auto reply = co_await connection.request(Msg(DownlinkPretestRequest{count}), limits.request);
        if (!reply)
            co_return unexpected(std::move(reply).error());
        routine::log_reply(runner.log_id, "downlink_pretest", *reply);
        if (auto refused = routine::refusal(*reply))
            co_return unexpected(std::move(*refused));

        for (bool last = false; !last;) {
            if (connection.abort.is_aborted()) {
                connection.shutdown();
                co_return unexpected(std::string(kAbortedText));
            }
            const auto left = std::max(Clock::duration::zero(), give_up - Clock::now());
            auto chunk = co_await connection.recv_data_chunk(std::min<std::chrono::nanoseconds>(limits.data, left));
            if (!chunk) {
                if (Clock::now() >= give_up) {
                    connection.shutdown();
                    co_return last_count;
                }
                co_return unexpected(std::move(chunk).error());
            }
            last = *chunk;
        }
        last_count = count;
        // Doubling stops at the largest count a request can carry.
        count = count > UINT32_MAX / 2 ? UINT32_MAX : count * 2;
    }
    co_return last_count;
}

asio::awaitable<RoutineOutcome<SampleUpdate>> downlink_test(Runner& runner, Duration duration, Duration deadline,
                                                            const RoutineLimits& limits)
{
    auto& connection = *runner.connection;
    if (duration.secs() > UINT32_MAX)
        co_return unexpected("duration in seconds must not exceed " + std::to_string(UINT32_MAX));
    const auto seconds = static_cast<std::uint32_t>(duration.secs());

    auto reply = co_await connection.request(Msg(DownlinkTestRequest{seconds}), limits.request);
    if (!reply)
        co_return unexpected(std::move(reply).error());
    routine::log_reply(runner.log_id, "downlink_test", *reply);
    if (auto refused = routine::refusal(*reply))
        co_return unexpected(std::move(*refused));

    const std::int64_t interval_ms = routine::interval_millis(connection.progress_interval);
    const std::uint64_t chunk_size = connection.chunk_size;
    // The progress pieces go through a channel to a task of their own. A
    // failed test drops its end without waiting: the task ends by itself.
    auto [progress_tx, progress_rx] = make_unbounded_channel<SampleUpdate>();
    std::optional<UnboundedSender<SampleUpdate>> progress(std::move(progress_tx));
    auto receiver = spawn_task(connection.executor(), downlink_progress_receiver(runner.log_id, std::move(progress_rx),
                                                                                 runner.number, runner.feedback_sender));
    const auto own_executor = co_await asio::this_coro::executor;
    const auto start = Clock::now();
    auto last_progress = start;
    std::uint64_t counter = 0;
    // The history, a point per chunk, is not kept here: each report hands on
    // the points since the previous one (the first point travels apart: no
    // report's samples carry it), and the completion the rest.
    HistoryPieces history;

    for (;;) {
        if (connection.abort.is_aborted()) {
            connection.shutdown();
            co_return unexpected(std::string(kAbortedText));
        }
        // No read waits past the deadline: a server that stalls or trickles
        // ends the test there with the samples so far.
        const auto left = deadline.saturating_sub(routine::since(start)).to_chrono();
        auto chunk = co_await connection.recv_data_chunk(std::min<std::chrono::nanoseconds>(limits.data, left));
        if (!chunk) {
            if (routine::since(start) >= deadline) {
                connection.shutdown();
                progress.reset();
                (void)co_await receiver.join();
                co_return history.take();
            }
            co_return unexpected(std::move(chunk).error());
        }
        const bool last = *chunk;
        const auto now = Clock::now();
        const Duration t = routine::since(start, now);
        counter += chunk_size;
        history.record(t, counter);

        const bool overdue = t >= deadline;
        if (last || overdue || routine::whole_millis(now - last_progress) >= interval_ms) {
            progress->send(history.take());  // dropped if the task has ended
            last_progress = now;
            // On a connection that always has data every read completes at
            // once and this loop would keep its thread; the progress task's
            // wake-up may be queued behind it on that thread. Yield once.
            if (!last && !overdue)
                co_await asio::post(own_executor, asio::use_awaitable);
        }
        if (last || overdue) {
            if (overdue)
                connection.shutdown();  // the stream goes on unread: the connection cannot be used again
            // Every progress report reaches the controller before the
            // completion: the task has handed on all of them when it ends.
            progress.reset();
            (void)co_await receiver.join();
            co_return history.take();
        }
    }
}

} // namespace vela_client

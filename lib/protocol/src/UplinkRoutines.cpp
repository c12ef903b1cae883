// Uplink routines: bursts and a timed stream of chunks cut from the shared
// random buffer; in the test the server's progress notifications are the
// byte history.

#include "AsyncTask.h"
#include "RoutineSupport.h"
#include "RunnerRoutines.h"

#include <algorithm>
#include <span>

namespace asio = boost::asio;
using namespace vela_client::sprintproto;

namespace vela_client {

using routine::Clock;

namespace {

// Chunks are handed to the connection in batches of about this many bytes.
// A batch is no coarser than single chunks: every chunk has its own write
// time-out, and wherever the connection makes the sender wait between two
// chunks, the abort and the end of the test are looked at again.
constexpr std::size_t kBatchBytes = 256 * 1024;

std::uint32_t batch_chunks(std::uint32_t chunk_size)
{
    return static_cast<std::uint32_t>(std::max<std::size_t>(1, kBatchBytes / std::max<std::uint32_t>(chunk_size, 1)));
}

std::string slice_too_large(std::size_t slice, std::size_t buffer)
{
    return "chunk payload of " + std::to_string(slice) + " bytes exceeds the shared random buffer of " +
           std::to_string(buffer) + " bytes";
}

struct NotificationReceiver {
    std::string log_id;
    Clock::time_point start;
    Duration deadline;
    Duration progress_interval;
    AbortContext abort;
    std::shared_ptr<ReaderHolder> reader;
    std::shared_ptr<FeedbackSender> feedback;
    std::uint8_t runner = 0;
    std::chrono::nanoseconds read_timeout;
};

// Reads the server's notifications until one says completed, the deadline
// passes or something fails; reports the new points every progress interval.
asio::awaitable<RoutineOutcome<SampleSeries>> uplink_notification_receiver(NotificationReceiver r)
{
    auto guard = co_await r.reader->mutex.lock();  // held for the task's life
    const std::int64_t interval_ms = routine::interval_millis(r.progress_interval);
    auto last_progress = Clock::now();
    std::uint32_t counter = 0;
    SampleSeries samples;
    std::optional<Duration> report_from;
    std::vector<std::uint8_t> buffer;

    for (;;) {
        if (r.abort.is_aborted())
            co_return unexpected(std::string(kAbortedText));
        const Duration elapsed = routine::since(r.start);
        if (elapsed >= r.deadline)
            break;
        // No read waits past the deadline: a server that stops notifying
        // ends the test there, not a read time-out later.
        const auto left = r.deadline.saturating_sub(elapsed).to_chrono();
        if (auto failed = co_await r.reader->reader->recv_msg(buffer, std::min(r.read_timeout, left))) {
            if (failed->kind != IoErrorKind::TimedOut)
                co_return unexpected("error reading proto message: " + failed->text);
            routine::log_line(LogLevel::Trace, r.log_id, "uplink_test: timeout reading proto messagedata");
            if (r.abort.is_aborted())
                co_return unexpected(std::string("test aborted on user request"));
            if (routine::since(r.start) >= r.deadline)
                break;
            co_return unexpected(std::string("timed out while reading data"));
        }
        auto msg = Msg::decode(buffer);
        if (!msg)
            co_return unexpected(std::string("failed to decode proto message"));
        const auto* note = msg->get<UplinkTestProgressNotification>();
        if (!note)
            co_return unexpected(std::string("unexpected response from server"));

        ++counter;
        const Duration key = Duration::from_nanos(note->duration_ns);
        if (!report_from)
            report_from = key;
        insert_sample(samples, key, note->bytes);
        const auto now = Clock::now();
        if (note->completed || routine::whole_millis(now - last_progress) >= interval_ms) {
            routine::send_progress(r.feedback, feedback::UplinkTestProgress{r.runner, samples_after(samples, *report_from)});
            last_progress = now;
            report_from = key;
        }
        if (note->completed)
            break;
    }
    routine::log_line(LogLevel::Debug, r.log_id,
                      "uplink_test: number of received server notifications for this connection: " + std::to_string(counter));
    co_return samples;
}

} // namespace

asio::awaitable<RoutineOutcome<std::uint32_t>> uplink_pretest(Runner& runner, Duration pretest, const RoutineLimits& limits)
{
    auto& connection = *runner.connection;
    auto& shared = *connection.random_buffer;
    std::uint32_t count = 1;
    std::uint32_t last_count = 0;
    const auto start = Clock::now();
    // A round may not run on past the pretest by more than the test grace:
    // a link too slow for it then ends the pretest with the last complete
    // round, and the connection, out of step, is closed.
    const auto give_up = start + pretest.saturating_add(limits.test_grace).to_chrono();
    auto abort_stop = [&connection] { return connection.abort.is_aborted(); };
    while (routine::since(start) < pretest) {
        auto reply = co_await connection.request(Msg(UplinkPretestRequest{count}), limits.request);
        if (!reply)
            co_return unexpected(std::move(reply).error());
        routine::log_reply(runner.log_id, "uplink_pretest", *reply);
        if (auto refused = routine::refusal(*reply))
            co_return unexpected(std::move(*refused));

        {
            auto guard = co_await shared.lock.lock_shared();
            const std::span<const std::uint8_t> random(shared.bytes);
            const std::size_t slice = connection.chunk_size > 0 ? connection.chunk_size - 1 : 0;
            if (slice > random.size())
                co_return unexpected(slice_too_large(slice, random.size()));
            // Every round starts at the buffer's start; the offset runs on
            // through the round's batches.
            std::size_t offset = 0;
            const std::uint32_t batch = batch_chunks(connection.chunk_size);
            for (std::uint32_t sent = 0; sent < count;) {
                if (connection.abort.is_aborted()) {
                    connection.shutdown();
                    co_return unexpected(std::string(kAbortedText));
                }
                const std::uint32_t n = std::min(batch, count - sent);
                ChunkLimits chunk_limits{limits.data, give_up, abort_stop};
                auto run = co_await connection.write_random_chunks(random, offset, n, sent + n == count,
                                                                  std::move(chunk_limits));
                sent += static_cast<std::uint32_t>(run.sent);
                if (run.status) {
                    if (run.status->kind == IoErrorKind::TimedOut && Clock::now() >= give_up) {
                        connection.shutdown();
                        co_return last_count;
                    }
                    co_return unexpected("failed to send failed to write random data: " + run.status->text);
                }
            }

            const auto left = std::max(Clock::duration::zero(), give_up - Clock::now());
            auto ack = co_await connection.read_proto_msg(std::min<std::chrono::nanoseconds>(limits.data, left));
            if (!ack) {
                if (Clock::now() >= give_up) {
                    connection.shutdown();
                    co_return last_count;
                }
                co_return unexpected(std::move(ack).error());
            }
            if (log_subscriber_set())
                routine::log_line(LogLevel::Trace, runner.log_id, "uplink_pretest: " + to_log_text(*ack));
            if (auto refused = routine::refusal(*ack))
                co_return unexpected(std::move(*refused));
        }
        last_count = count;
        count = count > UINT32_MAX / 2 ? UINT32_MAX : count * 2;
    }
    co_return last_count;
}

asio::awaitable<RoutineOutcome<SampleSeries>> uplink_test(Runner& runner, Duration duration, Duration deadline,
                                                          const RoutineLimits& limits)
{
    auto& connection = *runner.connection;
    const uint128_t interval_ms = connection.progress_interval.as_nanos() / 1'000'000U;
    if (interval_ms > UINT32_MAX)
        co_return unexpected(std::string("progress interval exceeds allowed range"));

    auto reply = co_await connection.request(Msg(UplinkTestRequest{static_cast<std::uint32_t>(interval_ms)}), limits.request);
    if (!reply)
        co_return unexpected(std::move(reply).error());
    routine::log_reply(runner.log_id, "uplink_test", *reply);
    if (auto refused = routine::refusal(*reply))
        co_return unexpected(std::move(*refused));

    auto& shared = *connection.random_buffer;
    auto guard = co_await shared.lock.lock_shared();  // held while sending
    const std::span<const std::uint8_t> random(shared.bytes);
    const std::size_t slice = connection.chunk_size > 0 ? connection.chunk_size - 1 : 0;
    if (slice > random.size())
        co_return unexpected(slice_too_large(slice, random.size()));
    const std::uint32_t batch = batch_chunks(connection.chunk_size);
    std::size_t offset = 0;
    const auto start = Clock::now();

    auto receiver = spawn_task(connection.executor(),
                               uplink_notification_receiver(NotificationReceiver{
                                   runner.log_id, start, deadline, connection.progress_interval, connection.abort,
                                   connection.reader_handle(), runner.feedback_sender, runner.number, limits.data}));

    // Batches of unmarked chunks while the duration lasts, then one chunk
    // marked last. Nothing waits past the test's deadline: a link that has
    // not taken the data by then ends the test with what the server counted.
    const auto give_up = start + deadline.to_chrono();
    auto stop = [&connection, &start, duration] {
        return connection.abort.is_aborted() || routine::since(start) >= duration;
    };
    bool cut_at_deadline = false;
    for (;;) {
        if (connection.abort.is_aborted()) {
            connection.shutdown();
            co_return unexpected(std::string(kAbortedText));
        }
        const bool last = routine::since(start) >= duration;
        // Built apart from the co_await: g++ 12 destroys temporaries of a
        // conditional inside a co_await expression twice.
        ChunkLimits chunk_limits{limits.data, give_up, {}};
        if (!last)
            chunk_limits.stop = stop;
        auto run = co_await connection.write_random_chunks(random, offset, last ? 1 : batch, last, std::move(chunk_limits));
        if (run.status) {
            if (run.status->kind == IoErrorKind::TimedOut && Clock::now() >= give_up) {
                cut_at_deadline = true;
                break;
            }
            co_return unexpected("failed to send data chunk failed to write random data: " + run.status->text);
        }
        if (last)
            break;
    }

    auto result = co_await receiver.join();
    if (cut_at_deadline)
        connection.shutdown();  // chunks are still queued for the server
    if (!result)
        co_return unexpected(std::string("failed to join uplink progress task"));
    if (!*result)
        connection.out_of_step = true;  // the receiver stopped in the middle of the notifications
    co_return std::move(*result);
}

} // namespace vela_client

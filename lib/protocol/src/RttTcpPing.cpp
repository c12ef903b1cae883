// TCP round-trip times on a runner connection: pings cut once from the
// shared random buffer, echoed by the server, matched to pongs by order.

#include "AsyncTask.h"
#include "RoutineSupport.h"
#include "RunnerRoutines.h"

#include <boost/asio/strand.hpp>

#include <random>

namespace asio = boost::asio;
using namespace vela_client::sprintproto;

namespace vela_client {

using routine::Clock;

namespace {

// A start for a slice of `length` bytes, uniform over the places where it fits.
std::size_t random_start(std::size_t buffer, std::size_t length)
{
    if (buffer <= length)
        return 0;
    thread_local std::minstd_rand generator{std::random_device{}()};
    return std::uniform_int_distribution<std::size_t>(0, buffer - length - 1)(generator);
}

struct PongReceiver {
    std::string log_id;
    AbortContext abort;
    std::shared_ptr<ReaderHolder> reader;
    std::uint32_t num_pings = 0;
    std::size_t pong_payload = 0;
    std::chrono::nanoseconds read_timeout;
};

// Arrival instants of the pongs, in order, up to the one marked last.
asio::awaitable<RoutineOutcome<std::vector<Clock::time_point>>> rtt_tcp_pong_receiver(PongReceiver r)
{
    auto guard = co_await r.reader->mutex.lock();  // held for the task's life
    routine::log_line(LogLevel::Trace, r.log_id, "rtt_tcp_ping: spawned reader task");
    std::vector<Clock::time_point> arrivals;
    arrivals.reserve(std::min<std::uint32_t>(r.num_pings, 1U << 16));
    std::vector<std::uint8_t> pong(r.pong_payload);
    for (std::uint32_t k = 0; k < r.num_pings; ++k) {
        if (r.abort.is_aborted())
            co_return unexpected(std::string(kAbortedText));
        bool last = false;
        if (auto failed = co_await r.reader->reader->recv_chunk(pong, last, r.read_timeout))
            co_return unexpected(std::move(failed->text));
        arrivals.push_back(Clock::now());
        if (last)
            break;
    }
    co_return arrivals;
}

// Reports how many pings have gone out, so that the ping loop itself never
// sends feedback. `alive` is held for the task's life: the routine learns
// from its channel closing that every report has gone out.
asio::awaitable<bool> rtt_tcp_progress_notifier(std::shared_ptr<FeedbackSender> feedback, std::uint32_t sent,
                                                UnboundedSender<bool> alive)
{
    // The controller may be gone; the report is then dropped.
    routine::send_progress(feedback, feedback::RttTcpPingProgress{sent});
    co_return true;
}

// Waits until every notifier has ended: a report that came after the
// routine's outcome would land in the next phase's feedback.
asio::awaitable<void> wait_for_notifiers(std::optional<UnboundedSender<bool>>& own, UnboundedReceiver<bool>& ended)
{
    own.reset();
    for (;;) {
        // Apart from the loop's condition: g++ 12 mishandles a co_await there.
        auto got = co_await ended.recv();
        if (!got)
            break;
    }
}

} // namespace

asio::awaitable<RoutineOutcome<std::vector<RttSample>>> rtt_tcp_ping(Runner& runner, const RttTcpPingParams& params,
                                                                     const RoutineLimits& limits)
{
    auto& connection = *runner.connection;
    if (params.payload_size == 0)
        co_return unexpected(std::string("payload size must be at least one byte large"));

    // The data part: payload_size - 1 bytes (the marker completes a ping).
    // Size 1 sends the marker alone; from size 2 on the first byte carries
    // the ping's index.
    std::vector<std::uint8_t> data(params.payload_size - 1);
    if (!data.empty()) {
        auto& shared = *connection.random_buffer;
        auto guard = co_await shared.lock.lock_shared();
        if (shared.bytes.size() < data.size())
            co_return unexpected(std::string("payload size exceeds preallocated buffer length"));
        const std::size_t from = random_start(shared.bytes.size(), data.size());
        std::copy_n(shared.bytes.begin() + static_cast<std::ptrdiff_t>(from), data.size(), data.begin());
    }

    auto reply = co_await connection.request(Msg(RttTcpRequest{params.payload_size}), limits.request);
    if (!reply)
        co_return unexpected(std::move(reply).error());
    routine::log_reply(runner.log_id, "rtt_tcp_ping", *reply);
    if (auto refused = routine::refusal(*reply))
        co_return unexpected(std::move(*refused));

    connection.set_tcp_nodelay(true);
    const auto phase_start = Clock::now();
    auto receiver = spawn_task(connection.executor(),
                               rtt_tcp_pong_receiver(PongReceiver{runner.log_id, connection.abort, connection.reader_handle(),
                                                                  params.num_pings, data.size(), limits.data}));
    std::vector<Clock::time_point> sent;
    sent.reserve(std::min<std::uint32_t>(params.num_pings, 1U << 16));
    const std::int64_t interval_ms = routine::interval_millis(connection.progress_interval);
    const auto ping_interval = params.ping_interval.to_chrono();
    auto last_progress = Clock::now();
    auto [alive_tx, notifiers_ended] = make_unbounded_channel<bool>();
    std::optional<UnboundedSender<bool>> alive(std::move(alive_tx));
    // The notifiers run one after the other, so the reports keep their order.
    const auto notifier_strand = asio::make_strand(connection.executor());

    for (std::uint32_t i = 0; i < params.num_pings; ++i) {
        if (connection.abort.is_aborted()) {
            connection.shutdown();
            co_await wait_for_notifiers(alive, notifiers_ended);
            co_return unexpected(std::string(kAbortedText));
        }
        const bool final_by_count = i + 1 == params.num_pings;
        const bool last = routine::since(phase_start) > params.timebox || final_by_count;
        if (!data.empty())
            data[0] = static_cast<std::uint8_t>(i % 256);
        if (i > 0)
            co_await sleep_for(ping_interval);
        const auto send_at = Clock::now();
        if (auto failed = co_await connection.send_data_chunk(data, last, limits.data)) {
            connection.set_tcp_nodelay(false);
            co_await wait_for_notifiers(alive, notifiers_ended);
            co_return unexpected(std::move(failed->text));
        }
        const auto now = Clock::now();
        if (final_by_count || routine::whole_millis(now - last_progress) >= interval_ms) {
            (void)spawn_task(notifier_strand, rtt_tcp_progress_notifier(runner.feedback_sender, i + 1, *alive));
            last_progress = now;
        }
        sent.push_back(send_at);
        if (last)
            break;
    }

    auto arrivals = co_await receiver.join();
    connection.set_tcp_nodelay(false);
    co_await wait_for_notifiers(alive, notifiers_ended);
    if (!arrivals)
        co_return unexpected(std::string("failed to retreive results from TCP pong receiving task"));
    if (!*arrivals) {
        connection.out_of_step = true;  // pongs may still be on their way
        co_return unexpected(std::move(*arrivals).error());
    }

    const auto& pongs = **arrivals;
    std::vector<RttSample> result;
    result.reserve(std::min(sent.size(), pongs.size()));
    for (std::size_t k = 0; k < sent.size() && k < pongs.size(); ++k)
        result.push_back(RttSample{routine::since(phase_start, sent[k]), routine::since(sent[k], pongs[k])});
    co_return result;
}

} // namespace vela_client

#include "UdpPing.h"

#include "AsyncTask.h"
#include "ClientLog.h"
#include "UdpPingCodec.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using asio::ip::udp;

namespace vela_client {

namespace {

using Clock = UdpClock;
using SentTable = std::vector<Clock::time_point>;
using ReceivedTable = std::map<std::uint32_t, UdpArrival>;

constexpr std::size_t kDatagramBuffer = 64;

void log_line(LogLevel level, const std::string& id, const std::string& text,
              const std::source_location& where = std::source_location::current())
{
    if (log_subscriber_set())
        log_event(level, "client", "[" + id + "] " + text, {}, where);
}

Duration since(Clock::time_point from, Clock::time_point to) { return Duration::from_chrono(to - from); }

std::string float_text(float value)
{
    std::array<char, 32> out{};
    const auto end = std::to_chars(out.data(), out.data() + out.size(), value).ptr;
    return std::string(out.data(), end);
}

struct Shared {
    std::string log_id;
    Clock::time_point ping_start;
    std::uint32_t num_pings = 0;
    Duration timebox;
    PhaseProgress* progress = nullptr;
    std::uint32_t finished_phases = 0;
    std::shared_ptr<AbortWatch> abort_watch;
    std::atomic<bool> sender_done{false};
    std::atomic<bool> phase_progress{true};  // cleared once a report reached 100 %
};

void send_ping_progress(Shared& s, std::uint32_t id)
{
    if (!s.progress || !s.progress->has_sender())
        return;
    const double ping_share = double(id) + 1.0;
    double fraction = ping_share / double(s.num_pings);
    const double time_share = since(s.ping_start, Clock::now()).as_secs_f64() / s.timebox.as_secs_f64();
    if (std::isnan(fraction))
        fraction = time_share;
    else if (!std::isnan(time_share))
        fraction = std::max(fraction, time_share);
    fraction = std::min(fraction, 1.0);
    ProgressReport report;
    report.phase = Phase::RttUdp;
    report.phase_progress = static_cast<float>(fraction * 100.0);
    report.total_progress = s.progress->total_percent(double(s.finished_phases) + fraction);
    s.progress->report(report);
    if (fraction == 1.0)
        s.phase_progress = false;
}

asio::awaitable<RoutineOutcome<SentTable>> udp_ping_sender(std::shared_ptr<udp::socket> socket, std::shared_ptr<Shared> s,
                                                           Duration pause, Duration progress_interval)
{
    SentTable sent;
    sent.reserve(std::min<std::uint32_t>(s->num_pings, 1U << 16));
    std::vector<std::uint8_t> datagram;
    datagram.reserve(kDatagramBuffer);
    const auto interval_ms = std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min<uint128_t>(progress_interval.as_nanos() / 1'000'000U, INT64_MAX)));
    auto last_report = Clock::now();
    for (std::uint32_t id = 0; id < s->num_pings; ++id) {
        if (s->abort_watch && s->abort_watch->fired())
            co_return unexpected(std::string("aborted on timeout or user request"));
        if (since(s->ping_start, Clock::now()) > s->timebox) {
            log_line(LogLevel::Debug, s->log_id, "rtt_udp_ping: not sending more pings, timebox limit reached");
            break;
        }
        if (auto failed = encode_rtt_udp_request(datagram, id))
            co_return unexpected("aborting UDP ping: " + *failed);
        if (id != 0)
            co_await sleep_for(pause.to_chrono());
        const auto send_at = Clock::now();
        auto [ec, n] = co_await socket->async_send(asio::buffer(datagram), asio::as_tuple(asio::use_awaitable));
        if (ec)
            co_return unexpected(ec.message());
        const auto now = Clock::now();
        if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_report) >= interval_ms ||
            id + 1 == s->num_pings) {
            send_ping_progress(*s, id);
            last_report = now;
        }
        sent.push_back(send_at);
    }
    co_return sent;
}

asio::awaitable<ReceivedTable> udp_pong_receiver(std::shared_ptr<udp::socket> socket, std::shared_ptr<Shared> s,
                                                 std::optional<Duration> receive_timeout)
{
    ReceivedTable received;
    std::array<std::uint8_t, kDatagramBuffer> buffer{};
    std::uint64_t order = 0;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto timebox = s->timebox.to_chrono();
    const auto timebox_end = timebox < Clock::time_point::max() - s->ping_start ? s->ping_start + timebox
                                                                                 : Clock::time_point::max();
    while (received.size() < s->num_pings) {
        if (since(s->ping_start, Clock::now()) > s->timebox) {
            log_line(LogLevel::Debug, s->log_id, "rtt_udp_ping: stopping pong reception, timebox limit reached");
            break;
        }
        // Without a representable receive time-out a wait still ends with
        // the time box, so the phase cannot hang on a lost answer.
        auto wait_until = timebox_end;
        if (receive_timeout) {
            const auto limit = receive_timeout->to_chrono();
            const auto now = Clock::now();
            if (limit < Clock::time_point::max() - now)
                wait_until = now + limit;
        }
        timer.expires_at(wait_until);
        auto stopped = [&s]() -> asio::awaitable<void> {
            if (s->abort_watch)
                co_await s->abort_watch->wait_aborted();
            else
                co_await asio::steady_timer(co_await asio::this_coro::executor, Clock::time_point::max())
                    .async_wait(asio::as_tuple(asio::use_awaitable));
        };
        auto first = co_await on_strand(socket->async_receive(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable)) ||
                                        timer.async_wait(asio::as_tuple(asio::use_awaitable)) || stopped());
        if (first.index() == 2)
            break;  // the run was stopped
        if (first.index() == 1) {
            if (s->sender_done) {
                log_line(LogLevel::Warn, s->log_id, "rtt_udp_ping: aborting UDP packet reception, timeout!");
                break;
            }
            continue;
        }
        const auto at = Clock::now();
        auto [ec, n] = std::get<0>(first);
        if (ec) {
            log_line(LogLevel::Error, s->log_id, "rtt_udp_ping: failed to read from UDP socket: " + ec.message());
            break;
        }
        auto id = decode_rtt_udp_response(std::span<const std::uint8_t>(buffer.data(), n));
        if (!id) {
            log_line(LogLevel::Warn, s->log_id, "rtt_udp_ping: failed to decode UDP ping response");
            continue;
        }
        // A second answer to one ping, or one to a ping that cannot exist,
        // would shift the places of every later answer: it is not counted.
        if (*id >= s->num_pings || received.count(*id) > 0) {
            log_line(LogLevel::Debug, s->log_id,
                     "rtt_udp_ping: ignoring duplicate or unexpected response " + std::to_string(*id));
            continue;
        }
        received.emplace(*id, UdpArrival{at, order});
        ++order;
        if (log_subscriber_set())
            log_line(LogLevel::Trace, s->log_id, "rtt_udp_ping: counter: " + std::to_string(order));
    }
    co_return received;
}

} // namespace

std::vector<EvaluatedPing> evaluate_udp_pings(Clock::time_point ping_start, const SentTable& sent,
                                              const ReceivedTable& received)
{
    std::vector<EvaluatedPing> out;
    if (sent.empty())
        return out;
    // Answers to pings that were sent; the others cannot be evaluated.
    std::size_t answered = 0;
    std::uint32_t highest_answered = 0;
    for (const auto& [id, arrival] : received) {
        if (id < sent.size()) {
            ++answered;
            highest_answered = std::max(highest_answered, id);
        }
    }
    const std::uint32_t highest =
        answered > 0 && answered != sent.size() ? highest_answered : static_cast<std::uint32_t>(sent.size() - 1);

    // Places of the evaluated answers in arrival order.
    std::vector<std::uint64_t> orders;
    orders.reserve(answered);
    for (const auto& [id, arrival] : received)
        if (id <= highest)
            orders.push_back(arrival.order);
    std::sort(orders.begin(), orders.end());

    out.reserve(std::size_t(highest) + 1);
    std::uint32_t lost = 0;
    for (std::uint32_t id = 0; id <= highest; ++id) {
        EvaluatedPing ping;
        ping.id = id;
        if (auto it = received.find(id); it != received.end()) {
            const auto place = std::lower_bound(orders.begin(), orders.end(), it->second.order) - orders.begin();
            ping.number = static_cast<std::uint32_t>(place) + lost;
            ping.sample = RttSample{since(ping_start, sent[id]), since(sent[id], it->second.at)};
        } else {
            ++lost;
        }
        out.push_back(ping);
    }
    return out;
}

asio::awaitable<RoutineOutcome<RttUdpResult>> rtt_udp_ping(const UdpPingContext& context, const UdpPingParams& params)
{
    auto shared = std::make_shared<Shared>();
    shared->log_id = context.log_id;
    shared->progress = context.progress;
    shared->abort_watch = context.abort_watch;
    if (context.progress)
        shared->finished_phases = co_await context.progress->begin_phase(Phase::RttUdp);
    const auto phase_start = Clock::now();

    if (params.num_pings == 0)
        co_return unexpected(std::string("number of pings must be > 0"));
    shared->num_pings = params.num_pings;
    shared->timebox = params.timebox;
    shared->ping_start = Clock::now();

    // Sender and receiver share the socket through one strand.
    auto strand = asio::make_strand(co_await asio::this_coro::executor);
    auto socket = std::make_shared<udp::socket>(strand);
    const bool v4 = context.server.address().is_v4();
    const std::string bind_text = v4 ? "0.0.0.0:0" : "[::]:0";
    boost::system::error_code ec;
    socket->open(v4 ? udp::v4() : udp::v6(), ec);
    if (!ec)
        socket->bind(udp::endpoint(v4 ? udp::v4() : udp::v6(), 0), ec);
    if (ec)
        co_return unexpected("Could not bind UdpSocket on uri " + bind_text + " -> " + ec.message());
    socket->connect(context.server, ec);
    if (ec)
        co_return unexpected(ec.message());

    auto receiver = spawn_task(strand, udp_pong_receiver(socket, shared, params.receive_timeout));
    auto sender = spawn_task(strand, udp_ping_sender(socket, shared, params.delay, context.progress_interval));

    auto sent = co_await sender.join();
    if (!sent)
        co_return unexpected(std::string("failed to retrieve results from UDP ping sending task"));
    if (!*sent)
        co_return unexpected(std::move(*sent).error());  // the receiver ends by its own limits
    shared->sender_done = true;
    auto received = co_await receiver.join();
    if (!received)
        co_return unexpected(std::string("failed to retreive results from UDP pong receiving task"));

    const auto evaluated = evaluate_udp_pings(shared->ping_start, **sent, *received);
    const auto now = Clock::now();
    PhaseTiming timing{Duration::from_chrono(phase_start - context.run_start), since(phase_start, now)};
    if (evaluated.size() > UINT32_MAX)
        co_return unexpected(std::string("number of pings exceeds maximum allowed result value"));

    const std::string& id = context.log_id;
    RttUdpResult result;
    result.timing = timing;
    result.num_requested = params.num_pings;
    result.num_sent = static_cast<std::uint32_t>(evaluated.size());
    std::vector<UdpRttSample> samples;
    samples.reserve(evaluated.size());
    std::vector<Duration> rtts;
    rtts.reserve(evaluated.size());
    std::uint32_t lost = 0;
    std::uint32_t out_of_order = 0;
    for (const auto& ping : evaluated) {
        UdpRttSample sample;
        if (ping.sample) {
            sample.sample = ping.sample;
            sample.number = ping.number;
            sample.out_of_order = *ping.number != ping.id;
            if (sample.out_of_order) {
                ++out_of_order;
                log_line(LogLevel::Debug, id,
                         "rtt_udp: packet " + std::to_string(ping.id) + " was received out of order at " +
                             std::to_string(*ping.number));
            } else if (log_subscriber_set()) {
                log_line(LogLevel::Trace, id,
                         "rtt_udp: packet " + std::to_string(ping.id) + " was received at " + std::to_string(*ping.number));
            }
            rtts.push_back(ping.sample->rtt);
        } else {
            sample.lost = true;
            ++lost;
            log_line(LogLevel::Debug, id, "rtt_udp: packet " + std::to_string(ping.id) + " was lost");
        }
        samples.push_back(sample);
    }

    const auto evaluated_count = static_cast<std::uint32_t>(evaluated.size());
    float out_of_order_share = 0.0F;
    if (evaluated_count > 0) {
        result.packet_loss = static_cast<float>(lost) / static_cast<float>(evaluated_count);
        out_of_order_share = static_cast<float>(out_of_order) / static_cast<float>(evaluated_count);
    }
    result.num_lost = lost;
    result.num_out_of_order = out_of_order;
    log_line(LogLevel::Info, id,
             "RTT UDP sent/received/lost/ooo: " + std::to_string(evaluated_count) + "/" +
                 std::to_string(evaluated_count - lost) + "/" + std::to_string(lost) + "/" + std::to_string(out_of_order));
    log_line(LogLevel::Info, id,
             "RTT UDP packet loss: " + float_text(result.packet_loss.value_or(0.0F) * 100.0F) +
                 "%, out of order: " + float_text(out_of_order_share * 100.0F) + "%");

    result.rtt = duration_stats(rtts);
    log_line(LogLevel::Info, id, "RTT UDP rtt_stats: " + to_string(result.rtt));
    result.jitter = duration_stats(successive_differences(rtts));
    log_line(LogLevel::Info, id, "RTT UDP jitter_stats: " + to_string(result.jitter));
    result.rtts = std::move(samples);

    if (context.progress)
        co_await context.progress->end_phase(Phase::RttUdp, !shared->phase_progress);
    co_return result;
}

} // namespace vela_client

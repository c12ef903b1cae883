#include "RunnerLoop.h"

#include "ClientLog.h"
#include "RunnerCommands.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;

namespace vela_client {

namespace {

constexpr const char* kFeedbackGone = "failed to send feedback to controller";

bool send_feedback(const Runner& runner, RunnerFeedback feedback)
{
    return runner.feedback_sender && runner.feedback_sender->send(std::move(feedback));
}

// The test deadline: duration plus the grace, saturating.
Duration test_deadline(Duration duration, const RoutineLimits& limits) { return duration.saturating_add(limits.test_grace); }

// The next command, while the idle connection is watched: anything the
// server sends unasked (a late reply, data still flowing after a step that
// gave up) or its closing of the connection means the connection cannot
// serve the next step. Nothing when that happened first, or when a reading
// sub-task of an earlier step still holds the connection.
asio::awaitable<std::optional<Expected<CommandMessage, RecvError>>> next_command(Runner& runner)
{
    using namespace asio::experimental::awaitable_operators;
    auto& holder = *runner.connection->reader_handle();
    auto guard = holder.mutex.try_lock();
    if (!guard.owns_lock())
        co_return std::nullopt;
    auto first = co_await (runner.command_receiver->recv() || holder.reader->wait_readable());
    if (first.index() == 0)
        co_return std::move(std::get<0>(first));
    co_return std::nullopt;
}

asio::awaitable<std::optional<std::string>> loop_on_strand(Runner runner, RoutineLimits limits)
{
    using Outcome = std::optional<std::string>;
    for (;;) {
        if (runner.abort_context.is_aborted())
            co_return Outcome("aborted on timeout or user request");
        if (runner.connection->closed)
            co_return Outcome("connection has been closed, runner needs to be restarted");

        if (!runner.command_receiver)
            co_return Outcome("error receiving command: channel closed");
        auto next = co_await next_command(runner);
        if (!next) {
            if (log_subscriber_set())
                log_event(LogLevel::Debug, "client",
                          "[" + runner.log_id + "] connection closed by the server or out of step while idle");
            runner.connection->shutdown();
            co_return Outcome("connection has been closed, runner needs to be restarted");
        }
        auto& message = *next;
        if (!message)
            co_return Outcome("error receiving command: " + message.error().text());
        if (runner.number >= message->runner_count)
            continue;
        const RunnerCommand& command = message->command;
        if (log_subscriber_set())
            log_event(LogLevel::Trace, "client", "[" + runner.log_id + "] Received command: " + to_string(command));

        bool delivered = true;
        if (const auto* c = std::get_if<command::DownlinkPretest>(&command)) {
            if (!send_feedback(runner, feedback::DownlinkPretestAck{runner.number}))
                co_return Outcome(kFeedbackGone);
            auto chunks = co_await downlink_pretest(runner, c->duration, limits);
            delivered = send_feedback(runner, feedback::DownlinkPretestCompleted{std::move(chunks), runner.number});
        } else if (const auto* c = std::get_if<command::DownlinkTest>(&command)) {
            if (!send_feedback(runner, feedback::DownlinkTestAck{runner.number, runner.connection_stream_info}))
                co_return Outcome(kFeedbackGone);
            auto samples = co_await downlink_test(runner, c->duration, test_deadline(c->duration, limits), limits);
            delivered = send_feedback(runner, feedback::DownlinkTestCompleted{runner.number, std::move(samples)});
        } else if (const auto* c = std::get_if<command::UplinkPretest>(&command)) {
            if (!send_feedback(runner, feedback::UplinkPretestAck{runner.number}))
                co_return Outcome(kFeedbackGone);
            auto chunks = co_await uplink_pretest(runner, c->duration, limits);
            delivered = send_feedback(runner, feedback::UplinkPretestCompleted{std::move(chunks), runner.number});
        } else if (const auto* c = std::get_if<command::UplinkTest>(&command)) {
            if (!send_feedback(runner, feedback::UplinkTestAck{runner.number, runner.connection_stream_info}))
                co_return Outcome(kFeedbackGone);
            auto samples = co_await uplink_test(runner, c->duration, test_deadline(c->duration, limits), limits);
            delivered = send_feedback(runner, feedback::UplinkTestCompleted{runner.number, std::move(samples)});
        } else if (const auto* c = std::get_if<command::RttTcpPing>(&command)) {
            if (!send_feedback(runner, feedback::RttTcpPingAck{runner.number, runner.connection_stream_info}))
                co_return Outcome(kFeedbackGone);
            auto pongs = co_await rtt_tcp_ping(runner, c->params, limits);
            delivered = send_feedback(runner, feedback::RttTcpPong{std::move(pongs)});
        } else if (std::holds_alternative<command::ServerLoadRequest>(command)) {
            auto load = co_await request_server_load(runner, limits);
            delivered = send_feedback(runner, feedback::ServerLoad{std::move(load)});
        } else if (const auto* c = std::get_if<command::ReverseTracerouteRequest>(&command)) {
            auto output = co_await reverse_traceroute(runner, c->max_duration, limits);
            delivered = send_feedback(runner, feedback::ReverseTraceroute{std::move(output)});
        } else if (const auto* c = std::get_if<command::Quit>(&command)) {
            if (c->runner && *c->runner != runner.number)
                continue;  // another runner's quit
            co_await send_quit(runner, limits);
            co_return Outcome();
        }
        if (!delivered)
            co_return Outcome(kFeedbackGone);
        // A step that gave up part-way leaves the connection out of step: it
        // is closed now, and the runner ends at its next pass, to be opened
        // anew before the next step.
        runner.connection->close_if_out_of_step();
    }
}

} // namespace

asio::awaitable<std::optional<std::string>> runner_loop(Runner runner, RoutineLimits limits)
{
    if (!runner.connection)
        co_return std::optional<std::string>("connection has been closed, runner needs to be restarted");
    // The connection's operations run on its strand; running the loop there
    // saves a hop per chunk.
    const auto strand = runner.connection->executor();
    co_return co_await asio::co_spawn(strand, loop_on_strand(std::move(runner), limits), asio::use_awaitable);
}

JoinHandle<std::optional<std::string>> spawn_runner(const asio::any_io_executor& executor, Runner runner,
                                                   RoutineLimits limits)
{
    return spawn_task(executor, runner_loop(std::move(runner), limits));
}

} // namespace vela_client

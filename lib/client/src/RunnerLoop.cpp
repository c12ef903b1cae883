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

// Whether a failed step never began at the server, so that it may run again
// on a fresh connection: its first request broke off (the server had closed
// the connection, or closed it on the request) before any reply of the step
// came, and the run goes on. A server that closes just after a step's last
// byte can have its close arrive after the next step's request has left.
bool step_never_began(const Runner& runner, std::uint64_t replies_before)
{
    const ProtocolConnection& connection = *runner.connection;
    return runner.reopen && connection.request_broke && connection.replies == replies_before &&
           !runner.abort_context.is_aborted();
}

// Replaces the runner's connection with a fresh one; false when none could
// be opened.
asio::awaitable<bool> reopen_connection(Runner& runner)
{
    if (log_subscriber_set())
        log_event(LogLevel::Debug, "client",
                  "[" + runner.log_id + "] connection ended by the server before the step's first reply, opening it again");
    auto opened = co_await runner.reopen();
    if (auto* text = std::get_if<std::string>(&opened)) {
        log_event(LogLevel::Warn, "client", "[" + runner.log_id + "] failed to open the connection again: " + *text);
        co_return false;
    }
    auto& fresh = std::get<OpenedConnection>(opened);
    runner.connection->shutdown();
    runner.connection = std::move(fresh.connection);
    runner.connection_stream_info = std::move(fresh.stream_info);
    if (runner.link)
        runner.link->set_socket(runner.connection->transport.socket.cut());
    co_return true;
}

// The routine's outcome, in a form that can cross to another strand (the
// outcomes have no empty state of their own).
template <class T>
asio::awaitable<std::optional<T>> optional_result(asio::awaitable<T> routine)
{
    co_return co_await std::move(routine);
}

// Runs a step's routine and, when the step never began at the server, runs it
// once more on a fresh connection (on that connection's strand), after
// `reopened` has told the controller of the new connection.
template <class Routine, class Reopened>
auto run_step(Runner& runner, Routine routine, Reopened reopened) -> decltype(routine())
{
    const std::uint64_t replies_before = runner.connection->replies;
    auto outcome = co_await routine();
    if (outcome || !step_never_began(runner, replies_before))
        co_return outcome;
    if (!co_await reopen_connection(runner))
        co_return outcome;
    reopened();
    auto again = co_await asio::co_spawn(runner.connection->executor(), optional_result(routine()), asio::use_awaitable);
    co_return std::move(*again);
}

// How one pass of the loop on a strand ended: the runner's end (empty on
// success, else the failure text), or the runner handed back because its
// connection was opened again and has a strand of its own.
using LoopEnd = std::variant<std::optional<std::string>, Runner>;

asio::awaitable<LoopEnd> loop_on_strand(Runner runner, RoutineLimits limits)
{
    using Outcome = std::optional<std::string>;
    const auto strand = runner.connection->executor();
    auto nothing = [] {};
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
        if (runner.number >= message->runner_count || (message->only && *message->only != runner.number))
            continue;
        const RunnerCommand& command = message->command;
        if (runner.link && !std::holds_alternative<command::Quit>(command))
            runner.link->took_step();
        if (log_subscriber_set())
            log_event(LogLevel::Trace, "client", "[" + runner.log_id + "] Received command: " + to_string(command));

        // The step's completion goes out once the connection's state is
        // settled (see below).
        std::optional<RunnerFeedback> completion;
        if (const auto* c = std::get_if<command::DownlinkPretest>(&command)) {
            if (!send_feedback(runner, feedback::DownlinkPretestAck{runner.number}))
                co_return Outcome(kFeedbackGone);
            auto chunks = co_await run_step(
                runner, [&] { return downlink_pretest(runner, c->duration, limits); }, nothing);
            completion = feedback::DownlinkPretestCompleted{std::move(chunks), runner.number};
        } else if (const auto* c = std::get_if<command::DownlinkTest>(&command)) {
            auto ack = [&] {
                return send_feedback(runner, feedback::DownlinkTestAck{runner.number, runner.connection_stream_info});
            };
            if (!ack())
                co_return Outcome(kFeedbackGone);
            auto samples = co_await run_step(
                runner, [&] { return downlink_test(runner, c->duration, test_deadline(c->duration, limits), limits); },
                ack);
            completion = feedback::DownlinkTestCompleted{runner.number, std::move(samples)};
        } else if (const auto* c = std::get_if<command::UplinkPretest>(&command)) {
            if (!send_feedback(runner, feedback::UplinkPretestAck{runner.number}))
                co_return Outcome(kFeedbackGone);
            auto chunks = co_await run_step(
                runner, [&] { return uplink_pretest(runner, c->duration, limits); }, nothing);
            completion = feedback::UplinkPretestCompleted{std::move(chunks), runner.number};
        } else if (const auto* c = std::get_if<command::UplinkTest>(&command)) {
            auto ack = [&] {
                return send_feedback(runner, feedback::UplinkTestAck{runner.number, runner.connection_stream_info});
            };
            if (!ack())
                co_return Outcome(kFeedbackGone);
            auto samples = co_await run_step(
                runner, [&] { return uplink_test(runner, c->duration, test_deadline(c->duration, limits), limits); },
                ack);
            completion = feedback::UplinkTestCompleted{runner.number, std::move(samples)};
        } else if (const auto* c = std::get_if<command::RttTcpPing>(&command)) {
            auto ack = [&] {
                return send_feedback(runner, feedback::RttTcpPingAck{runner.number, runner.connection_stream_info});
            };
            if (!ack())
                co_return Outcome(kFeedbackGone);
            auto pongs = co_await run_step(runner, [&] { return rtt_tcp_ping(runner, c->params, limits); }, ack);
            completion = feedback::RttTcpPong{std::move(pongs)};
        } else if (std::holds_alternative<command::ServerLoadRequest>(command)) {
            auto load = co_await run_step(runner, [&] { return request_server_load(runner, limits); }, nothing);
            completion = feedback::ServerLoad{std::move(load)};
        } else if (const auto* c = std::get_if<command::ReverseTracerouteRequest>(&command)) {
            auto output = co_await run_step(
                runner, [&] { return reverse_traceroute(runner, c->max_duration, limits); }, nothing);
            completion = feedback::ReverseTraceroute{std::move(output)};
        } else if (const auto* c = std::get_if<command::Quit>(&command)) {
            if (c->runner && *c->runner != runner.number)
                continue;  // another runner's quit
            co_await send_quit(runner, limits);
            co_return Outcome();
        }
        // A step that gave up part-way leaves the connection out of step: it
        // is closed before the completion goes out, so that the controller
        // finds it ended and opens it anew for the next step. The runner ends
        // at its next pass.
        runner.connection->close_if_out_of_step();
        if (completion && !send_feedback(runner, std::move(*completion)))
            co_return Outcome(kFeedbackGone);
        if (runner.connection->executor() != strand)
            co_return LoopEnd(std::move(runner));  // on to the new connection's strand
    }
}

} // namespace

asio::awaitable<std::optional<std::string>> runner_loop(Runner runner, RoutineLimits limits)
{
    if (!runner.connection)
        co_return std::optional<std::string>("connection has been closed, runner needs to be restarted");
    // The connection's operations run on its strand; running the loop there
    // saves a hop per chunk. A connection opened again has a strand of its
    // own, and the loop moves there.
    for (;;) {
        const auto strand = runner.connection->executor();
        auto end = co_await asio::co_spawn(strand, loop_on_strand(std::move(runner), limits), asio::use_awaitable);
        if (auto* outcome = std::get_if<std::optional<std::string>>(&end))
            co_return std::move(*outcome);
        runner = std::move(std::get<Runner>(end));
    }
}

JoinHandle<std::optional<std::string>> spawn_runner(const asio::any_io_executor& executor, Runner runner,
                                                   RoutineLimits limits)
{
    return spawn_task(executor, runner_loop(std::move(runner), limits));
}

} // namespace vela_client

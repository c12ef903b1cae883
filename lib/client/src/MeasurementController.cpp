#include "MeasurementController.h"

#include "ControllerSupport.h"
#include "RunnerLoop.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using boost::system::error_code;

namespace vela_client {

namespace {

constexpr const char* kJoinFailed = "failed to spawn connection tasks: ";
constexpr const char* kTaskEndedAbnormally = "task ended abnormally";

asio::ip::udp::endpoint parse_bind(const std::string& text)
{
    // "0.0.0.0:0" and "[::]:0": any address of the family, any port.
    if (text.starts_with("["))
        return {asio::ip::address_v6::any(), 0};
    return {asio::ip::address_v4::any(), 0};
}

// Sets the runner's flag when its task ends, also when the task is dropped
// unfinished.
struct FinishedMark {
    std::shared_ptr<std::atomic<bool>> finished;
    ~FinishedMark() { finished->store(true); }
};

// The task body that runs one runner until it ends and drops its outcome.
asio::awaitable<bool> runner_task(Runner runner, RoutineLimits limits, std::shared_ptr<std::atomic<bool>> finished)
{
    FinishedMark mark{std::move(finished)};
    (void)co_await runner_loop(std::move(runner), limits);
    co_return true;
}

// The task body that opens one runner connection; it owns its parameters.
asio::awaitable<std::variant<Runner, std::string>>
connect_task(std::uint8_t id, Token token, Duration progress_interval, AbortContext abort, RunnerConnectParams params,
             std::shared_ptr<CommandReceiver> commands, std::shared_ptr<FeedbackSender> feedback,
             SharedRandomBufferRef buffer, std::uint32_t multiplier, ConnectLimits limits)
{
    co_return co_await runner_connect(id, std::move(token), progress_interval, std::move(abort), params,
                                      std::move(commands), std::move(feedback), std::move(buffer), multiplier, limits);
}

// Waits for the connect tasks and hands each runner to a runner task,
// replacing entry `ids[k]`; the first failure ends the walk.
asio::awaitable<std::optional<std::string>>
collect_runners(MeasurementController& c, std::vector<std::uint8_t> ids,
                std::vector<JoinHandle<std::variant<Runner, std::string>>> tasks)
{
    std::vector<std::optional<std::variant<Runner, std::string>>> outcomes;
    outcomes.reserve(tasks.size());
    for (auto& task : tasks)
        outcomes.push_back(co_await task.join());
    for (const auto& outcome : outcomes)
        if (!outcome)
            co_return std::string(kJoinFailed) + kTaskEndedAbnormally;
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        auto& outcome = *outcomes[k];
        if (auto* text = std::get_if<std::string>(&outcome))
            co_return *text;
        auto handle = start_runner_task(c, std::move(std::get<Runner>(outcome)));
        const std::size_t entry = ids[k];
        if (entry < c.runner_handles.size())
            c.runner_handles[entry] = std::move(handle);
        else
            c.runner_handles.push_back(std::move(handle));
    }
    co_return std::nullopt;
}

} // namespace

MeasurementController::MeasurementController(const ClientConfig& cfg, Token tok, AbortContext abort_context)
    : config(cfg), token(std::move(tok)), abort(std::move(abort_context)), start(Clock::now()),
      command_tx(make_command_channel(1))
{
    log_id = vela_client::log_id(token);
    udp_bind_v4 = parse_bind(udp_bind_v4_text);
    udp_bind_v6 = parse_bind(udp_bind_v6_text);
    host = config.host;
    tls = config.tls;
    skip_certificate_validation = config.skip_certificate_validation;
    dl_connections = config.dl_num_connections;
    ul_connections = config.ul_num_connections;
    progress_update_limit = config.progress_update_limit_ms;
    raw_history_sampling_rate = config.raw_history_sampling_rate_ms;
}

std::uint8_t runner_connection_count(const ClientConfig& config)
{
    if (config.run_downlink_phase && config.run_uplink_phase)
        return std::max(config.dl_num_connections, config.ul_num_connections);
    if (config.run_downlink_phase)
        return config.dl_num_connections;
    if (config.run_uplink_phase)
        return config.ul_num_connections;
    return 1;
}

std::vector<Endpoint> filter_addresses(const std::vector<Endpoint>& addresses, bool ipv4_only, bool ipv6_only)
{
    std::vector<Endpoint> kept;
    for (const auto& a : addresses) {
        if (ipv4_only && !a.address().is_v4())
            continue;
        if (!ipv4_only && ipv6_only && !a.address().is_v6())
            continue;
        kept.push_back(a);
    }
    return kept;
}

asio::awaitable<OrError<Endpoint>> probe_server_address(std::vector<Endpoint> addresses, bool ipv4_only, bool ipv6_only,
                                                         const std::string& log_id, std::chrono::nanoseconds connect_limit,
                                                         std::shared_ptr<AbortWatch> abort_watch)
{
    const auto executor = co_await asio::this_coro::executor;
    auto stopped = [&abort_watch]() -> asio::awaitable<void> {
        if (abort_watch)
            co_await abort_watch->wait_aborted();
        else
            co_await asio::steady_timer(co_await asio::this_coro::executor, asio::steady_timer::time_point::max())
                .async_wait(asio::as_tuple(asio::use_awaitable));
    };
    for (const auto& address : filter_addresses(addresses, ipv4_only, ipv6_only)) {
        const std::string text = endpoint_text(address);
        log_run(LogLevel::Info, log_id, "trying to connect to " + text);
        asio::ip::tcp::socket socket(executor);
        asio::steady_timer timer(executor, connect_limit);
        auto first = co_await on_strand(socket.async_connect(address, asio::as_tuple(asio::use_awaitable)) ||
                                        timer.async_wait(asio::as_tuple(asio::use_awaitable)) || stopped());
        if (first.index() == 2)
            co_return OrError<Endpoint>::failure(kAbortedText);
        if (first.index() == 1) {
            log_run(LogLevel::Warn, log_id, "timeout while connecting to " + text + ": deadline has elapsed");
            continue;
        }
        const auto [ec] = std::get<0>(first);
        if (ec) {
            log_run(LogLevel::Warn, log_id, "failed to connect to " + text + ": " + ec.message());
            continue;
        }
        error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        co_return address;
    }
    co_return OrError<Endpoint>::failure("failed to connect to server");
}

std::string websocket_url_for(const Endpoint& server)
{
    const auto ip = server.address();
    const std::string host = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
    return "ws://" + host + ":" + std::to_string(server.port());
}

asio::awaitable<OrError<std::unique_ptr<MeasurementController>>>
MeasurementController::init(std::vector<Endpoint> addresses, const ClientConfig& config, Token token, AbortContext abort,
                            RunLimits limits, std::shared_ptr<AbortWatch> abort_watch)
{
    using Result = OrError<std::unique_ptr<MeasurementController>>;
    auto c = std::make_unique<MeasurementController>(config, std::move(token), std::move(abort));
    c->executor = co_await asio::this_coro::executor;
    c->limits = limits;
    c->abort_watch = std::move(abort_watch);

    const std::uint8_t n = runner_connection_count(config);
    c->runner_count = n;
    c->command_tx = make_command_channel(n);
    auto feedback = make_feedback_channel();
    c->feedback_tx = std::move(feedback.sender);
    c->feedback_rx = std::move(feedback.receiver);
    c->shared_buffer = make_shared_random_buffer();
    auto guard = co_await c->runner_handles_mutex.lock();

    auto probed = co_await probe_server_address(std::move(addresses), config.ipv4_only, config.ipv6_only, c->log_id,
                                                limits.probe_connect, c->abort_watch);
    if (!probed)
        co_return Result::failure(probed.error());
    c->server_addr = probed.value();
    c->server_udp_addr = asio::ip::udp::endpoint(c->server_addr.address(), config.port_udp);
    if (config.websocket)
        c->websocket_url = websocket_url_for(c->server_addr);
    log_run(LogLevel::Trace, c->log_id, "connecting to " + endpoint_text(c->server_addr));

    std::vector<std::uint8_t> ids;
    std::vector<JoinHandle<std::variant<Runner, std::string>>> tasks;
    for (unsigned id = 0; id < n; ++id) {
        ids.push_back(static_cast<std::uint8_t>(id));
        tasks.push_back(connect_runner(*c, static_cast<std::uint8_t>(id)));
    }
    if (auto failure = co_await collect_runners(*c, std::move(ids), std::move(tasks)))
        co_return Result::failure(*failure);
    guard.release();
    co_return Result(std::move(c));
}

void MeasurementController::complete(std::optional<ProgressSender> progress, std::uint32_t count, Duration sampling_rate)
{
    progress_tx = std::move(progress);
    phase_count = count;
    raw_history_sampling_rate = sampling_rate;
    phase_index = std::make_shared<PhaseProgress>(count, progress_tx);
}

JoinHandle<std::variant<Runner, std::string>> connect_runner(MeasurementController& c, std::uint8_t runner_id)
{
    RunnerConnectParams params;
    params.host = c.host;
    params.websocket_url = c.websocket_url;
    params.server_address = c.server_addr;
    params.tls = c.tls;
    params.skip_certificate_validation = c.skip_certificate_validation;
    params.abort_watch = c.abort_watch;
    auto commands = subscribe_runner(c.command_tx);
    auto feedback = std::make_shared<FeedbackSender>(*c.feedback_tx);
    return spawn_task(c.executor, connect_task(runner_id, c.token, c.progress_update_limit, c.abort, std::move(params),
                                               std::move(commands), std::move(feedback), c.shared_buffer,
                                               c.buffer_multiplier, c.limits.connect));
}

RunnerTaskHandle start_runner_task(MeasurementController& c, Runner runner)
{
    RunnerTaskHandle handle;
    handle.finished = std::make_shared<std::atomic<bool>>(false);
    handle.link = std::make_shared<RunnerLink>();
    if (runner.connection)
        handle.link->set_socket(runner.connection->transport.socket.cut());
    runner.link = handle.link;
    handle.task = spawn_task(c.executor, runner_task(std::move(runner), c.limits.routines, handle.finished));
    return handle;
}

CommandReach::CommandReach(std::uint8_t runner_limit, RunnerCommand command)
    : limit_(runner_limit), command_(std::move(command))
{
}

CommandReach CommandReach::broadcast(MeasurementController& c, std::uint8_t runner_limit, RunnerCommand command)
{
    CommandReach reach(runner_limit, std::move(command));
    const std::size_t n = std::min<std::size_t>(runner_limit, c.runner_handles.size());
    // A runner that has ended by now did so after the step's re-opening
    // looked at it: it is reached too, and opened again as one that ended
    // before taking the step.
    for (std::size_t i = 0; i < n; ++i) {
        const auto& handle = c.runner_handles[i];
        const auto id = static_cast<std::uint8_t>(i);
        reach.waiting_.push_back(id);
        reach.reached_.push_back(Reached{id, handle.link ? handle.link->steps_taken() : 0, false});
    }
    c.command_tx.send(RunnerMessage{runner_limit, reach.command_});
    return reach;
}

void CommandReach::acknowledged(std::uint8_t runner) { acked_.push_back(runner); }

void CommandReach::completed(std::uint8_t runner) { std::erase(waiting_, runner); }

bool CommandReach::all_done() const { return waiting_.empty(); }

std::vector<std::uint8_t> CommandReach::ended(const MeasurementController& c) const
{
    std::vector<std::uint8_t> out;
    for (const std::uint8_t id : waiting_)
        if (id < c.runner_handles.size() && c.runner_handles[id].is_finished())
            out.push_back(id);
    return out;
}

void CommandReach::drop(const std::vector<std::uint8_t>& ended)
{
    for (const std::uint8_t id : ended) {
        if (std::find(acked_.begin(), acked_.end(), id) != acked_.end())
            lost_.push_back(id);
        std::erase(waiting_, id);
    }
}

std::vector<std::uint8_t> CommandReach::ended_untaken(const MeasurementController& c) const
{
    std::vector<std::uint8_t> out;
    for (const std::uint8_t id : ended(c)) {
        const auto reached = std::find_if(reached_.begin(), reached_.end(), [id](const Reached& r) { return r.runner == id; });
        const auto& link = c.runner_handles[id].link;
        if (reached != reached_.end() && !reached->resent && link && link->steps_taken() == reached->taken_before)
            out.push_back(id);
    }
    return out;
}

void CommandReach::resend(MeasurementController& c, std::uint8_t runner)
{
    for (auto& r : reached_)
        if (r.runner == runner) {
            r.resent = true;
            const auto& link = c.runner_handles[runner].link;
            r.taken_before = link ? link->steps_taken() : 0;
        }
    c.command_tx.send(RunnerMessage{limit_, command_, runner});
}

void CommandReach::give_up(std::uint8_t runner)
{
    lost_.push_back(runner);
    std::erase(waiting_, runner);
}

namespace {

// Opens runner `id` again under the runner handles' lock; nothing, or the
// failure.
asio::awaitable<std::optional<std::string>> reopen_runner(MeasurementController& c, std::uint8_t id)
{
    auto guard = co_await c.runner_handles_mutex.lock();
    std::vector<std::uint8_t> ids(1, id);
    std::vector<JoinHandle<std::variant<Runner, std::string>>> tasks;
    tasks.push_back(connect_runner(c, id));
    co_return co_await collect_runners(c, std::move(ids), std::move(tasks));
}

// Opens the runners that ended before taking the phase's command again and
// sends them the command.
asio::awaitable<void> resend_untaken(MeasurementController& c, CommandReach& reach)
{
    for (const std::uint8_t id : reach.ended_untaken(c)) {
        if (c.abort.is_aborted())
            co_return;
        const std::string runner = "runner " + std::to_string(id);
        log_run(LogLevel::Debug, c.log_id, runner + " ended before taking the command, opening it again");
        if (auto failure = co_await reopen_runner(c, id)) {
            log_run(LogLevel::Error, c.log_id, "failed to open " + runner + " again: " + *failure);
            reach.give_up(id);
            continue;
        }
        reach.resend(c, id);
    }
}

} // namespace

asio::awaitable<PhaseFeedback> next_feedback(MeasurementController& c, CommandReach& reach)
{
    using End = PhaseFeedback::End;
    for (;;) {
        co_await resend_untaken(c, reach);
        if (reach.all_done())
            co_return PhaseFeedback{std::nullopt, End::AllDone};
        auto got = co_await c.feedback_rx.recv_for(kFeedbackPoll);
        if (got)
            co_return PhaseFeedback{std::move(*got), End::None};
        if (got.error().kind == RecvError::Kind::Closed)
            co_return PhaseFeedback{std::nullopt, End::Closed};
        if (c.abort.is_aborted())
            co_return PhaseFeedback{std::nullopt, End::Aborted};
        // A runner sends its last feedback before its task ends: the ends are
        // read first, then what is queued, so no completion is taken for lost.
        // One that ended before taking the step is sent it again instead.
        co_await resend_untaken(c, reach);
        const std::vector<std::uint8_t> ended = reach.ended(c);
        if (ended.empty())
            continue;
        if (auto queued = c.feedback_rx.try_recv())
            co_return PhaseFeedback{std::move(*queued), End::None};
        reach.drop(ended);
    }
}

asio::awaitable<std::optional<std::string>> spawn_connection_tasks(MeasurementController& c)
{
    auto guard = co_await c.runner_handles_mutex.lock();
    std::vector<std::uint8_t> ids;
    std::vector<JoinHandle<std::variant<Runner, std::string>>> tasks;
    for (std::size_t i = 0; i < c.runner_handles.size(); ++i) {
        auto& handle = c.runner_handles[i];
        if (!handle.needs_reopen())
            continue;
        if (!handle.is_finished()) {
            // Between steps every runner is idle. One whose connection has
            // ended is ending too, or (over TLS, where an idle connection is
            // not watched) would take the next command on a dead connection:
            // it is told to quit, which it does at once on a socket that is
            // shut down, and the new runner under its id subscribes only
            // after it has gone.
            if (auto cut = handle.cut())
                cut->shutdown();
            c.command_tx.send(RunnerMessage{static_cast<std::uint8_t>(c.runner_handles.size()),
                                            command::Quit{static_cast<std::uint8_t>(i)}});
            (void)co_await handle.task.join();
        }
        ids.push_back(static_cast<std::uint8_t>(i));
        tasks.push_back(connect_runner(c, static_cast<std::uint8_t>(i)));
    }
    if (tasks.empty())
        co_return std::nullopt;
    co_return co_await collect_runners(c, std::move(ids), std::move(tasks));
}

asio::awaitable<void> quit_runner(MeasurementController& c)
{
    auto guard = co_await c.runner_handles_mutex.lock();
    c.command_tx.send(RunnerMessage{static_cast<std::uint8_t>(c.runner_handles.size()), command::Quit{}});
    for (auto& handle : c.runner_handles)
        (void)co_await handle.task.join();
}

asio::awaitable<void> advance_phase(MeasurementController& c)
{
    // Counted as finished without a report of its own.
    co_await c.phase_index->end_phase(Phase::DownlinkPretest, true);
}

asio::awaitable<void> finish_phase(MeasurementController& c, Phase kind, ProgressRecord values)
{
    if (!c.progress_tx)
        co_return;
    co_await c.phase_index->end_phase(kind, false, values);
}

asio::awaitable<std::uint32_t> read_phase_index(MeasurementController& c)
{
    co_return co_await c.phase_index->finished();
}

PhaseTiming phase_timing(const MeasurementController& c, std::chrono::steady_clock::time_point phase_start)
{
    const auto now = std::chrono::steady_clock::now();
    PhaseTiming timing;
    timing.relative_start = Duration::from_chrono(phase_start - c.start);
    timing.duration = Duration::from_chrono(now - phase_start);
    return timing;
}

std::string client_log_id(MeasurementController& c) { return vela_client::log_id(c.token); }

} // namespace vela_client

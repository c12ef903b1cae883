#include "RunMeasurement.h"

#include "ControllerSupport.h"
#include "Pretest.h"
#include "RttPhases.h"
#include "ServerInfoRequests.h"
#include "ThroughputPhases.h"
#include "Token.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>

namespace asio = boost::asio;

namespace vela_client {

namespace {

// What the run holds besides its result; released only after the busy flag
// has been cleared.
struct RunState {
    std::shared_ptr<AbortWatch> abort_watch;
    std::unique_ptr<MeasurementController> controller;
    std::optional<ProgressReceiver> unread_progress;  // kept when no forwarder reads it
    bool forwarder_started = false;
};

std::string duration_or_dash(const std::optional<Duration>& d) { return d ? format_duration(*d) : std::string("-"); }

asio::awaitable<OrError<std::vector<Endpoint>>> look_up(const std::string& host, std::uint16_t port)
{
    using Result = OrError<std::vector<Endpoint>>;
    asio::ip::tcp::resolver resolver(co_await asio::this_coro::executor);
    auto [ec, results] =
        co_await resolver.async_resolve(host, std::to_string(port), asio::as_tuple(asio::use_awaitable));
    if (ec)
        co_return Result::failure("failed to look up [" + host + "] " + ec.message());
    std::vector<Endpoint> addresses;
    for (const auto& entry : results)
        addresses.push_back(entry.endpoint());
    co_return Result(std::move(addresses));
}

asio::awaitable<OrError<ClientResult>> run_steps(Client& client, mclient_progress_fn progress,
                                                 const std::shared_ptr<ForwarderDone>& forwarder_done, RunState& state)
{
    using Result = OrError<ClientResult>;
    const ClientConfig& config = client.config();
    // Every stop is prompt: the watch shuts the run's connections down and
    // ends its waits as soon as the abort context reports an abort.
    state.abort_watch = AbortWatch::start(co_await asio::this_coro::executor, client.abort_context());

    // Step 2: the plan.
    const std::uint32_t phase_count = planned_phase_count(config);
    if (phase_count == 0)
        co_return Result::failure("nothing to run, no phases given");

    // Step 3: the server's addresses, in the resolver's order.
    auto addresses = co_await look_up(config.host, config.port_tcp);
    if (!addresses)
        co_return Result::failure(addresses.error());

    // Step 4.
    if (config.ipv4_only && config.ipv6_only)
        co_return Result::failure("arguments --ipv4 and --ipv6 are mutually exclusive");

    // Step 5: the token.
    TokenResult token = config.token ? parse_token(*config.token) : build_token(config.secret_key.value_or(""));
    if (!token) {
        log_bare(LogLevel::Error, "Failed to set token: " + token.error());
        co_return Result::failure(token.error());
    }
    const std::string id = log_id(*token);
    log_bare(LogLevel::Debug, "Log ID: " + id);

    // Step 6: the progress channel and its forwarder.
    auto [progress_tx, progress_rx] = make_unbounded_channel<ProgressRecord>();
    if (progress) {
        spawn_task(co_await asio::this_coro::executor,
                   [](ProgressReceiver rx, mclient_progress_fn cb, AbortContext abort,
                      std::shared_ptr<ForwarderDone> done) -> asio::awaitable<bool> {
                       co_await forward_progress(std::move(rx), cb, std::move(abort), std::move(done));
                       co_return true;
                   }(std::move(progress_rx), progress, client.abort_context(), forwarder_done));
        state.forwarder_started = true;
    } else {
        state.unread_progress.emplace(std::move(progress_rx));
    }

    // Step 7: the result under construction.
    ClientResult result;
    result.client_config = config;
    if (config.request_server_load || config.request_reverse_traceroute)
        result.server_info = ServerInfo{};

    auto aborted = [&]() { return client.abort_context().is_aborted(); };
    const std::string aborted_text = "[" + id + "] aborted on timeout or user request";
    // A stop that came before the connections are opened ends the run here.
    if (aborted())
        co_return Result::failure(aborted_text);

    // Step 8: the runner connections.
    auto opened = co_await MeasurementController::init(std::move(addresses.value()), config, *token,
                                                       client.abort_context(), client.limits, state.abort_watch);
    if (!opened) {
        log_run(LogLevel::Error, id, "Failed to init controller: " + opened.error());
        if (aborted())
            co_return Result::failure(aborted_text);
        co_return Result::failure(opened.error());
    }
    state.controller = std::move(opened.value());
    MeasurementController& c = *state.controller;
    log_run(LogLevel::Info, id, "Connected to " + config.host + ":" + std::to_string(config.port_tcp));
    c.complete(std::move(progress_tx), phase_count, config.raw_history_sampling_rate_ms);
    bool dl_pretest_ok = false;
    bool ul_pretest_ok = false;

    // Step 9.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }

    // Steps 10 and 11: what the server tells about itself.
    if (config.request_server_load) {
        auto load = co_await request_server_load(c);
        if (!load) {
            log_bare(LogLevel::Error, load.error());
        } else if (result.server_info) {
            result.server_info->vmstat = load.value().stdout_vmstat;
            result.server_info->free = load.value().stdout_free;
        }
    }
    if (config.request_reverse_traceroute) {
        auto trace = co_await reverse_traceroute(c);
        if (!trace)
            log_bare(LogLevel::Error, trace.error());
        else if (result.server_info)
            result.server_info->reverse_traceroute = std::move(trace.value());
    }

    // Step 12: DOWNLINK_PRETEST.
    if (config.run_rtt_tcp_phase || config.run_downlink_phase) {
        log_run(LogLevel::Info, id,
                "Starting DOWNLINK_PRETEST phase (timeout: " + whole_seconds_text(config.dl_pretest_duration_ms) + ")");
        if (auto failure = co_await run_downlink_pretest(c, config)) {
            log_run(LogLevel::Error, id, "DOWNLINK_PRETEST phase error: " + *failure);
            co_await advance_phase(c);
            dl_pretest_ok = false;
        } else {
            log_run(LogLevel::Info, id, "DOWNLINK_PRETEST completed successfully");
            dl_pretest_ok = true;
        }
    }

    // Step 13: RTT_TCP.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }
    if (config.run_rtt_tcp_phase) {
        if (!dl_pretest_ok) {
            log_run(LogLevel::Warn, id, "Skipping RTT_TCP phase because of downlink pretest error");
            co_await advance_phase(c);
        } else {
            log_run(LogLevel::Info, id,
                    "Starting RTT_TCP phase (num_pings: " + std::to_string(config.rtt_tcp_num_packets) +
                        ", delay: " + format_duration(config.rtt_tcp_delay_ms) +
                        ", timeout: " + format_duration(config.rtt_tcp_timeout_ms) + ")");
            auto rtt = co_await rtt_tcp_phase(config, c);
            if (rtt) {
                log_run(LogLevel::Info, id, "RTT_TCP phase completed after " + duration_or_dash(rtt.value().timing.duration));
                result.rtt_tcp = std::move(rtt.value());
            } else {
                log_run(LogLevel::Error, id, "RTT_TCP phase error: " + rtt.error());
                co_await advance_phase(c);
            }
        }
    }

    // Step 14: RTT_UDP.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }
    if (config.run_rtt_udp_phase) {
        log_run(LogLevel::Info, id,
                "Starting RTT_UDP phase (num_pings: " + std::to_string(config.rtt_udp_num_packets) +
                    ", delay: " + format_duration(config.rtt_udp_delay_ms) +
                    ", timeout: " + format_duration(config.rtt_udp_timeout_ms) + ")");
        auto rtt = co_await rtt_udp_phase(config, c);
        if (rtt) {
            log_run(LogLevel::Info, id, "RTT_UDP phase completed after " + duration_or_dash(rtt.value().timing.duration));
            result.rtt_udp = std::move(rtt.value());
        } else {
            log_run(LogLevel::Error, id, "RTT_UDP phase error: " + rtt.error());
            co_await advance_phase(c);
        }
    }

    // Step 15: DOWNLINK.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }
    if (config.run_downlink_phase) {
        if (!dl_pretest_ok) {
            log_run(LogLevel::Warn, id, "Skipping DOWNLINK phase because of downlink pretest error");
            co_await advance_phase(c);
        } else {
            auto dl = co_await run_downlink_test(config, c, id);
            if (dl) {
                dl.value().pretest_duration = config.dl_pretest_duration_ms;
                log_run(LogLevel::Info, id, "DOWNLINK phase completed after " + duration_or_dash(dl.value().timing.duration));
                result.dl = std::move(dl.value());
            } else {
                log_run(LogLevel::Error, id, "DOWNLINK phase error: " + dl.error());
                co_await advance_phase(c);
            }
        }
    }

    // Step 16: UPLINK_PRETEST, then UPLINK at once.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }
    if (config.run_uplink_phase) {
        log_run(LogLevel::Info, id,
                "Starting UPLINK_PRETEST phase (timeout: " + format_duration(config.ul_pretest_duration_ms) + ")");
        if (auto failure = co_await run_uplink_pretest(c, config)) {
            ul_pretest_ok = false;
            log_run(LogLevel::Error, id, "UPLINK_PRETEST phase error: " + *failure);
            log_run(LogLevel::Warn, id, "Skipping UPLINK phase because of uplink pretest error");
            co_await advance_phase(c);
        } else {
            log_run(LogLevel::Info, id, "UPLINK_PRETEST completed successfully");
            ul_pretest_ok = true;
            auto ul = co_await run_uplink_test(config, c, id);
            if (ul) {
                ul.value().pretest_duration = config.ul_pretest_duration_ms;
                log_run(LogLevel::Info, id, "UPLINK phase completed after " + duration_or_dash(ul.value().timing.duration));
                result.ul = std::move(ul.value());
            } else {
                log_run(LogLevel::Error, id, "UPLINK phase error: " + ul.error());
                co_await advance_phase(c);
            }
        }
    }
    (void)ul_pretest_ok;

    // A stop during the last phase must not end in a result that looks
    // complete: the phase it cut short failed for that reason alone.
    if (aborted()) {
        co_await quit_runner(c);
        co_return Result::failure(aborted_text);
    }

    // Step 17: the end of the run.
    log_run(LogLevel::Info, id, "Measurement completed, closing connections");
    co_await quit_runner(c);
    co_return Result(std::move(result));
}

} // namespace

std::uint32_t planned_phase_count(const ClientConfig& config)
{
    return std::uint32_t{config.run_rtt_udp_phase} + std::uint32_t{config.run_rtt_tcp_phase} +
           std::uint32_t{config.run_downlink_phase} +
           std::uint32_t{config.run_rtt_tcp_phase || config.run_downlink_phase} + 2U * std::uint32_t{config.run_uplink_phase};
}

asio::awaitable<OrError<ClientResult>> run_measurement(Client& client, mclient_progress_fn progress,
                                                       std::shared_ptr<ForwarderDone> forwarder_done)
{
    // Shared references: once the busy flag is clear the client may be
    // released by another thread while this frame still unwinds.
    const auto busy = client.busy();
    const auto run_lock = client.run_lock();
    auto lock = co_await run_lock->lock();
    client.abort_context().restart();
    busy->store(true);

    RunState state;
    std::optional<OrError<ClientResult>> outcome;
    std::string fault;
    try {
        outcome.emplace(co_await run_steps(client, progress, forwarder_done, state));
    } catch (const std::exception& e) {
        fault = e.what();
    } catch (...) {
        fault = "unknown fault";
    }
    if (!outcome) {
        // A fault inside the run: end the runners as an abort would, then
        // report it as the run's failure.
        if (state.controller) {
            try {
                co_await quit_runner(*state.controller);
            } catch (...) {
            }
        }
        outcome.emplace(OrError<ClientResult>::failure("measurement failed: " + fault));
    }

    if (state.abort_watch)
        state.abort_watch->stop();
    busy->store(false);
    state.controller.reset();
    state.unread_progress.reset();
    if (!state.forwarder_started && forwarder_done)
        forwarder_done->set();
    lock.release();
    co_return std::move(*outcome);
}

} // namespace vela_client

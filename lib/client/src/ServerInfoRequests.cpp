#include "ServerInfoRequests.h"

#include "ControllerSupport.h"

namespace asio = boost::asio;

namespace vela_client {

asio::awaitable<OrError<ServerLoadData>> request_server_load(MeasurementController& c)
{
    using Result = OrError<ServerLoadData>;
    if (auto failure = co_await spawn_connection_tasks(c))
        co_return Result::failure(*failure);
    const std::string id = client_log_id(c);
    auto reach = CommandReach::broadcast(c, 1, command::ServerLoadRequest{});
    for (;;) {
        auto next = co_await next_feedback(c, reach);
        if (next.end == PhaseFeedback::End::Aborted)
            co_return Result::failure(kAbortedText);
        if (next.end != PhaseFeedback::End::None)
            co_return Result::failure("failed to receive server load data");
        auto& got = next.feedback;
        if (auto* load = std::get_if<feedback::ServerLoad>(&*got)) {
            if (!load->load)
                co_return Result::failure(load->load.error());
            co_return Result(std::move(*load->load));
        }
        log_run(LogLevel::Warn, id, "request_server_load: unexpected feedback from runner: " + feedback_debug_text(*got));
    }
}

asio::awaitable<OrError<std::string>> reverse_traceroute(MeasurementController& c)
{
    using Result = OrError<std::string>;
    if (auto failure = co_await spawn_connection_tasks(c))
        co_return Result::failure(*failure);
    const std::string id = client_log_id(c);
    auto reach = CommandReach::broadcast(c, 1, command::ReverseTracerouteRequest{c.config.traceroute_max_duration_s});
    for (;;) {
        auto next = co_await next_feedback(c, reach);
        if (next.end == PhaseFeedback::End::Aborted)
            co_return Result::failure(kAbortedText);
        if (next.end != PhaseFeedback::End::None)
            co_return Result::failure("failed to receive server traceroute data");
        auto& got = next.feedback;
        if (auto* trace = std::get_if<feedback::ReverseTraceroute>(&*got)) {
            if (!trace->output)
                co_return Result::failure(trace->output.error());
            co_return Result(std::move(*trace->output));
        }
        log_run(LogLevel::Warn, id, "reverse_traceroute: unexpected feedback from runner: " + feedback_debug_text(*got));
    }
}

} // namespace vela_client

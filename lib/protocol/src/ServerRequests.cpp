// Single request/response exchanges of a runner: server load, reverse
// traceroute and quit.

#include "RoutineSupport.h"
#include "RunnerRoutines.h"

namespace asio = boost::asio;
using namespace vela_client::sprintproto;

namespace vela_client {

namespace {

// Failure text of a reply that is not the answer asked for.
std::string unexpected_reply(const Msg& reply)
{
    if (const auto* generic = reply.get<GenericResponse>())
        return generic->is_ok() ? std::string("unexpected response") : generic->description;
    return "unexpected response from server";
}

} // namespace

asio::awaitable<RoutineOutcome<ServerLoadData>> request_server_load(Runner& runner, const RoutineLimits& limits)
{
    auto reply = co_await runner.connection->request(Msg(ServerLoadRequest{}), limits.server_load);
    if (!reply)
        co_return unexpected(std::move(reply).error());
    routine::log_reply(runner.log_id, "server_load", *reply);
    if (const auto* load = reply->get<ServerLoadResponse>())
        co_return ServerLoadData{load->stdout_vmstat, load->stdout_free};
    co_return unexpected(unexpected_reply(*reply));
}

asio::awaitable<RoutineOutcome<std::string>> reverse_traceroute(Runner& runner, Duration max_duration,
                                                                const RoutineLimits& limits)
{
    const std::uint64_t max_duration_ns = max_duration.as_nanos_u64().value_or(UINT64_MAX);
    const Duration timeout = max_duration.saturating_add(Duration::from_chrono(limits.traceroute_extra));
    auto reply = co_await runner.connection->request(Msg(ServerTracerouteRequest{max_duration_ns}), timeout.to_chrono());
    if (!reply)
        co_return unexpected(std::move(reply).error());
    routine::log_reply(runner.log_id, "reverse_traceroute", *reply);
    if (const auto* trace = reply->get<ServerTracerouteResponse>())
        co_return trace->stdout;
    co_return unexpected(unexpected_reply(*reply));
}

asio::awaitable<void> send_quit(Runner& runner, const RoutineLimits& limits)
{
    auto reply = co_await runner.connection->request(Msg(QuitRequest{}), limits.request);
    if (reply)
        routine::log_reply(runner.log_id, "quit", *reply);
}

} // namespace vela_client

#include "RunnerCommands.h"

#include <algorithm>

namespace vela_client {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

} // namespace

const char* command_name(const RunnerCommand& command)
{
    static constexpr const char* names[] = {"DownlinkPretest", "DownlinkTest", "UplinkPretest", "UplinkTest",
                                            "RttTcpPing",      "ServerLoadRequest", "ReverseTracerouteRequest", "Quit"};
    static_assert(std::size(names) == std::variant_size_v<RunnerCommand>);
    return names[command.index()];
}

std::string to_string(const RunnerCommand& command)
{
    const std::string name = command_name(command);
    return std::visit(
        Overloaded{
            [&](const command::DownlinkPretest& c) { return name + "(" + format_duration(c.duration) + ")"; },
            [&](const command::DownlinkTest& c) { return name + "(" + format_duration(c.duration) + ")"; },
            [&](const command::UplinkPretest& c) { return name + "(" + format_duration(c.duration) + ")"; },
            [&](const command::UplinkTest& c) { return name + "(" + format_duration(c.duration) + ")"; },
            [&](const command::RttTcpPing& c) {
                const auto& p = c.params;
                return name + "(RttTcpPingParams { runner_id: " + std::to_string(p.runner_id) +
                       ", num_pings: " + std::to_string(p.num_pings) + ", ping_interval: " + format_duration(p.ping_interval) +
                       ", timebox: " + format_duration(p.timebox) + ", payload_size: " + std::to_string(p.payload_size) +
                       " })";
            },
            [&](const command::ServerLoadRequest&) { return name; },
            [&](const command::ReverseTracerouteRequest& c) { return name + "(" + format_duration(c.max_duration) + ")"; },
            [&](const command::Quit& c) {
                return name + (c.runner ? "(Some(" + std::to_string(*c.runner) + "))" : std::string("(None)"));
            },
        },
        command);
}

const char* feedback_name(const RunnerFeedback& feedback)
{
    static constexpr const char* names[] = {
        "DownlinkPretestAck", "DownlinkPretestCompleted", "DownlinkTestAck",    "DownlinkTestProgress",
        "DownlinkTestCompleted", "UplinkPretestAck",      "UplinkPretestCompleted", "UplinkTestAck",
        "UplinkTestProgress", "UplinkTestCompleted",      "RttTcpPingAck",      "RttTcpPingProgress",
        "RttTcpPong",         "ServerLoad",               "ReverseTraceroute"};
    static_assert(std::size(names) == std::variant_size_v<RunnerFeedback>);
    return names[feedback.index()];
}

void insert_sample(SampleSeries& series, Duration time, std::uint64_t bytes)
{
    if (series.empty() || series.back().time < time) {
        series.push_back(SamplePoint{time, bytes});
        return;
    }
    auto at = std::lower_bound(series.begin(), series.end(), time,
                               [](const SamplePoint& p, Duration t) { return p.time < t; });
    if (at != series.end() && at->time == time)
        at->bytes = bytes;
    else
        series.insert(at, SamplePoint{time, bytes});
}

SampleSeries samples_after(const SampleSeries& series, Duration after)
{
    auto from = std::upper_bound(series.begin(), series.end(), after,
                                 [](Duration t, const SamplePoint& p) { return t < p.time; });
    return SampleSeries(from, series.end());
}

void append_samples(SampleMap& into, const SampleSeries& series)
{
    auto hint = into.end();
    for (const auto& point : series)
        hint = std::next(into.insert_or_assign(hint, point.time, point.bytes));
}

SampleMap to_sample_map(const SampleSeries& series)
{
    SampleMap map;
    append_samples(map, series);
    return map;
}

CommandSender make_command_channel(std::size_t connections)
{
    return CommandSender(std::max<std::size_t>(connections, 1) * kCommandsPerConnection);
}

std::shared_ptr<CommandReceiver> subscribe_runner(const CommandSender& commands)
{
    return std::make_shared<CommandReceiver>(commands.subscribe());
}

FeedbackChannel make_feedback_channel()
{
    auto [tx, rx] = make_unbounded_channel<RunnerFeedback>();
    return FeedbackChannel{std::make_shared<FeedbackSender>(std::move(tx)), std::move(rx)};
}

} // namespace vela_client

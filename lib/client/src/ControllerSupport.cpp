#include "ControllerSupport.h"

#include <cmath>
#include <limits>
#include <type_traits>

namespace vela_client {

void log_run(LogLevel level, const std::string& id, const std::string& text)
{
    if (!log_subscriber_set())
        return;
    log_event(level, "client", "[" + id + "] " + text);
}

void log_bare(LogLevel level, const std::string& text)
{
    if (!log_subscriber_set())
        return;
    log_event(level, "client", text);
}

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        out += ch;
    }
    return out + "\"";
}

std::string optional_text(const std::optional<std::string>& text)
{
    return text ? "Some(" + quoted(*text) + ")" : std::string("None");
}

std::string endpoint_debug(const std::optional<ConnectionStreamInfoParameter>& p)
{
    return p ? "Some(" + to_string(*p) + ")" : std::string("None");
}

std::string stream_info_debug(const std::optional<ConnectionStreamInfo>& info)
{
    if (!info)
        return "None";
    return "Some(ConnectionStreamInfo { client: " + endpoint_debug(info->client) +
           ", server: " + endpoint_debug(info->server) + " })";
}

std::string series_debug(const SampleSeries& series)
{
    std::string out = "{";
    bool first = true;
    for (const auto& p : series) {
        if (!first)
            out += ", ";
        first = false;
        out += format_duration(p.time) + ": " + std::to_string(p.bytes);
    }
    return out + "}";
}

std::string series_debug(const SampleUpdate& update)
{
    SampleSeries points;
    if (update.first)
        points.push_back(*update.first);
    for (const SamplePoint& p : update.points)
        points.push_back(p);
    return series_debug(points);
}

template <class T, class F>
std::string outcome_debug(const RoutineOutcome<T>& outcome, F&& value_text)
{
    if (outcome)
        return "Ok(" + value_text(*outcome) + ")";
    return "Err(" + quoted(outcome.error()) + ")";
}

std::string pongs_debug(const std::vector<RttSample>& pongs)
{
    std::string out = "[";
    bool first = true;
    for (const auto& s : pongs) {
        if (!first)
            out += ", ";
        first = false;
        out += "(" + format_duration(s.time) + ", " + format_duration(s.rtt) + ")";
    }
    return out + "]";
}

} // namespace

std::string feedback_debug_text(const RunnerFeedback& feedback)
{
    const std::string name = feedback_name(feedback);
    auto chunks = [](std::uint32_t n) { return std::to_string(n); };
    auto series = [](const auto& s) { return series_debug(s); };
    return std::visit(
        [&](const auto& f) -> std::string {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<F, feedback::DownlinkPretestAck> || std::is_same_v<F, feedback::UplinkPretestAck>) {
                return name;
            } else if constexpr (std::is_same_v<F, feedback::DownlinkPretestCompleted> ||
                                 std::is_same_v<F, feedback::UplinkPretestCompleted>) {
                return name + "(" + outcome_debug(f.chunks, chunks) + ")";
            } else if constexpr (std::is_same_v<F, feedback::DownlinkTestAck> || std::is_same_v<F, feedback::UplinkTestAck> ||
                                 std::is_same_v<F, feedback::RttTcpPingAck>) {
                return name + "(" + std::to_string(f.runner) + ", " + stream_info_debug(f.stream_info) + ")";
            } else if constexpr (std::is_same_v<F, feedback::DownlinkTestProgress> ||
                                 std::is_same_v<F, feedback::UplinkTestProgress>) {
                // A progress report shows the points it adds (not the history's first point).
                if constexpr (std::is_same_v<F, feedback::DownlinkTestProgress>)
                    return name + "(" + std::to_string(f.runner) + ", " + series_debug(f.samples.points.to_vector()) + ")";
                else
                    return name + "(" + std::to_string(f.runner) + ", " + series_debug(f.samples) + ")";
            } else if constexpr (std::is_same_v<F, feedback::DownlinkTestCompleted> ||
                                 std::is_same_v<F, feedback::UplinkTestCompleted>) {
                return name + "(" + std::to_string(f.runner) + ", " + outcome_debug(f.samples, series) + ")";
            } else if constexpr (std::is_same_v<F, feedback::RttTcpPingProgress>) {
                return name + "(" + std::to_string(f.pings_sent) + ")";
            } else if constexpr (std::is_same_v<F, feedback::RttTcpPong>) {
                return name + "(" + outcome_debug(f.pongs, pongs_debug) + ")";
            } else if constexpr (std::is_same_v<F, feedback::ServerLoad>) {
                return name + "(" + outcome_debug(f.load, [](const ServerLoadData& d) {
                           return "ServerLoadData { stdout_vmstat: " + optional_text(d.stdout_vmstat) +
                                  ", stdout_free: " + optional_text(d.stdout_free) + " }";
                       }) + ")";
            } else {
                return name + "(" + outcome_debug(f.output, [](const std::string& s) { return quoted(s); }) + ")";
            }
        },
        feedback);
}

std::uint64_t bps_to_u64(double bps)
{
    if (std::isnan(bps) || bps <= 0.0)
        return 0;
    if (bps >= 18446744073709551616.0)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(bps);
}

std::string whole_seconds_text(Duration d) { return std::to_string(d.secs()) + "s"; }

void StreamInfos::acknowledged(std::uint8_t runner, const std::optional<ConnectionStreamInfo>& info)
{
    if (!info)
        return;
    for (auto& [id, known] : entries_)
        if (id == runner) {
            known = *info;
            return;
        }
    entries_.emplace_back(runner, *info);
}

std::vector<ConnectionStreamInfo> StreamInfos::take()
{
    std::vector<ConnectionStreamInfo> out;
    out.reserve(entries_.size());
    for (auto& entry : entries_)
        out.push_back(std::move(entry.second));
    entries_.clear();
    return out;
}

} // namespace vela_client

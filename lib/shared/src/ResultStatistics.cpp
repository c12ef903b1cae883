#include "ResultStatistics.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vela_client {

namespace {

constexpr uint128_t kU128Max = ~static_cast<uint128_t>(0);

uint128_t saturating_add(uint128_t a, uint128_t b) { return a > kU128Max - b ? kU128Max : a + b; }

uint128_t saturating_square(uint128_t d)
{
    if (d > UINT64_MAX) {
        return kU128Max;
    }
    return d * d;
}

// Seconds of the distance between two durations, as 64-bit floats.
double distance_secs(Duration a, Duration b)
{
    return std::fabs(a.as_secs_f64() - b.as_secs_f64());
}

// Whole milliseconds of a span, truncated.
double whole_millis(Duration d) { return static_cast<double>(d.as_nanos() / 1'000'000); }

}  // namespace

Duration grid_point_at_or_after(Duration time, Duration rate)
{
    const double rate_secs = rate.as_secs_f64();
    const double grid = std::ceil(time.as_secs_f64() / rate_secs) * rate_secs;
    return Duration::from_secs_f64(grid).value_or(Duration::max());
}

bool strictly_nearer(Duration candidate, Duration current, Duration t)
{
    return distance_secs(candidate, t) < distance_secs(current, t);
}

std::uint64_t interpolated_bytes(std::optional<SamplePoint> before, SamplePoint next, Duration t)
{
    const Duration prev_time = before ? before->time : Duration();
    const std::uint64_t prev_bytes = before ? before->bytes : 0;
    const double a = whole_millis(t.saturating_sub(prev_time));
    const double b = whole_millis(next.time.saturating_sub(prev_time));
    double added = 0.0;
    if (b > 0.0) {
        added = std::trunc(a / b * (static_cast<double>(next.bytes) - static_cast<double>(prev_bytes)));
    }
    if (added >= 0.0) {
        const double room = static_cast<double>(UINT64_MAX - prev_bytes);
        return added >= room ? UINT64_MAX : prev_bytes + static_cast<std::uint64_t>(added);
    }
    const double drop = -added;
    return drop >= static_cast<double>(prev_bytes) ? 0 : prev_bytes - static_cast<std::uint64_t>(drop);
}

DurationStats duration_stats(const std::vector<Duration>& values)
{
    DurationStats stats;
    if (values.empty()) {
        return stats;
    }
    std::vector<Duration> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();

    uint128_t sum = 0;
    for (const Duration& v : sorted) {
        sum = saturating_add(sum, v.as_nanos());
    }
    stats.min = sorted.front();
    stats.max = sorted.back();
    if (n % 2 == 1) {
        stats.med = sorted[n / 2];
    } else {
        // Both halves fit 2^97, so the sum cannot overflow.
        stats.med = Duration::from_nanos_u128((sorted[n / 2 - 1].as_nanos() + sorted[n / 2].as_nanos()) / 2);
    }
    const uint128_t avg = sum / n;
    stats.avg = Duration::from_nanos_u128(avg);

    uint128_t squares = 0;
    for (const Duration& v : sorted) {
        const uint128_t ns = v.as_nanos();
        const uint128_t d = ns > avg ? ns - avg : avg - ns;
        squares = saturating_add(squares, saturating_square(d));
    }
    const uint128_t var = squares / n;
    stats.var = Duration::from_nanos_u128(var);
    const double root = std::sqrt(static_cast<double>(var));
    stats.std_dev = Duration::from_nanos_u128(static_cast<uint128_t>(root));
    return stats;
}

std::vector<Duration> successive_differences(const std::vector<Duration>& values)
{
    std::vector<Duration> out;
    for (std::size_t i = 1; i < values.size(); ++i) {
        if (auto diff = values[i].checked_sub(values[i - 1])) {
            out.push_back(*diff);
        }
    }
    return out;
}

std::vector<SamplePoint> downsample_series(const SampleMap& history, Duration rate)
{
    std::vector<SamplePoint> out;
    if (history.empty() || rate.is_zero()) {
        return out;
    }
    std::vector<SamplePoint> v;
    v.reserve(history.size());
    for (const auto& [time, bytes] : history) {
        v.push_back({time, bytes});
    }
    const std::size_t n = v.size();
    Duration t = rate;
    std::size_t i = 0;
    do {
        if (v[i].time > rate) {
            // Skip grid points for which no sample exists.
            t = grid_point_at_or_after(v[i].time, rate);
        }
        std::size_t j = i;
        while (j + 1 < n && v[j + 1].time <= t) {
            ++j;
        }
        if (j + 1 < n && strictly_nearer(v[j + 1].time, v[j].time, t)) {
            ++j;
        }
        out.push_back(v[j]);
        t = t.saturating_add(rate);
        i = j + 1;
    } while (i < n - 1);

    if (!(out.back() == v[n - 1])) {
        out.push_back(v[n - 1]);
    }
    return out;
}

BytesAt bytes_at(const SampleMap& history, Duration t, std::optional<Duration> rate)
{
    BytesAt result;
    const auto next = history.lower_bound(t);
    if (next == history.end()) {
        return result;
    }
    if (next->first == t) {
        result.bytes = next->second;
        if (rate) {
            result.points = downsample_series(history, *rate);
        }
        return result;
    }

    std::optional<SamplePoint> before;
    if (next != history.begin()) {
        const auto prev = std::prev(next);
        before = SamplePoint{prev->first, prev->second};
    }
    result.bytes = interpolated_bytes(before, SamplePoint{next->first, next->second}, t);

    if (rate) {
        SampleMap before(history.begin(), next);
        std::vector<SamplePoint> points = downsample_series(before, *rate);
        if (!points.empty()) {
            points.push_back({t, result.bytes});
        }
        result.points = std::move(points);
    }
    return result;
}

Throughput compute_throughput(const PhaseSamples& samples, std::optional<Duration> start,
                              std::optional<Duration> rate)
{
    Throughput result;
    std::optional<Duration> end;
    for (const auto& [conn, history] : samples) {
        if (!history.empty()) {
            const Duration last = history.rbegin()->first;
            end = end ? std::min(*end, last) : last;
        }
    }
    if (!end) {
        return result;
    }
    if (rate) {
        result.raw_history.emplace();
    }

    // A connection that stopped before the counted window began leaves the
    // window empty; report nothing rather than a wrapped span.
    const bool empty_window = start && *start > *end;

    std::uint64_t total = 0;
    for (const auto& [conn, history] : samples) {
        BytesAt at_end = bytes_at(history, *end, rate);
        if (at_end.points) {
            (*result.raw_history)[conn] = std::move(*at_end.points);
        }
        std::uint64_t counted = at_end.bytes;
        if (start) {
            const std::uint64_t s = bytes_at(history, *start, std::nullopt).bytes;
            counted = s > at_end.bytes ? 0 : at_end.bytes - s;
        }
        total = total > UINT64_MAX - counted ? UINT64_MAX : total + counted;
    }

    if (empty_window) {
        // Nothing was counted, so there is no history of it either.
        result.raw_history.reset();
        return result;
    }
    result.bytes = total;
    result.duration = start ? end->saturating_sub(*start) : *end;
    const double secs = result.duration.as_secs_f64();
    result.bps = secs > 0.0 ? static_cast<double>(result.bytes) * 8.0 / secs : 0.0;
    return result;
}

RawData to_raw_data(RawHistory&& history)
{
    RawData out;
    for (auto& [conn, points] : history) {
        std::vector<ThroughputSample>& list = out[conn];
        list.reserve(points.size());
        for (const SamplePoint& p : points) {
            list.push_back({p.bytes, p.time});
        }
    }
    history.clear();
    return out;
}

std::string to_string(const DurationStats& stats)
{
    std::string out = "min/max/avg/med/std_dev/var = ";
    const std::optional<Duration>* values[] = {&stats.min, &stats.max,     &stats.avg,
                                               &stats.med, &stats.std_dev, &stats.var};
    bool first = true;
    for (const auto* v : values) {
        if (!first) {
            out += '/';
        }
        first = false;
        out += v->has_value() ? format_duration(**v) : "-";
    }
    return out;
}

}  // namespace vela_client

#pragma once
// Pure functions that turn raw measurements into the figures of the result
// record: statistics of round-trip times and jitter, and the throughput of a
// phase from the per-connection byte histories. Stateless and lock-free; any
// worker thread may call them.

#include "Duration.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vela_client {

// Six statistics of a list of durations: all present for a non-empty list,
// all absent for an empty one. `var` holds the population variance in square
// nanoseconds as if it were a nanosecond count (4 ns^2 is stored as 4 ns).
struct DurationStats {
    std::optional<Duration> min;
    std::optional<Duration> max;
    std::optional<Duration> avg;
    std::optional<Duration> med;
    std::optional<Duration> std_dev;
    std::optional<Duration> var;

    bool operator==(const DurationStats&) const = default;
};

// Byte history of one connection: time since that connection's test started
// to cumulative bytes.
using SampleMap = std::map<Duration, std::uint64_t>;
// Per-phase samples: connection number to its byte history.
using PhaseSamples = std::map<std::uint8_t, SampleMap>;

// One point of a byte history.
struct SamplePoint {
    Duration time;
    std::uint64_t bytes = 0;

    bool operator==(const SamplePoint&) const = default;
};

// Connection number to its sampled points.
using RawHistory = std::map<std::uint8_t, std::vector<SamplePoint>>;

// One element of the result's "raw_data" lists.
struct ThroughputSample {
    std::uint64_t b = 0;
    Duration time;

    bool operator==(const ThroughputSample&) const = default;
};
using RawData = std::map<std::uint8_t, std::vector<ThroughputSample>>;

struct Throughput {
    Duration duration;         // the counted window
    double bps = 0.0;
    std::uint64_t bytes = 0;   // all connections together
    std::optional<RawHistory> raw_history;
};

struct BytesAt {
    std::uint64_t bytes = 0;
    std::optional<std::vector<SamplePoint>> points;
};

DurationStats duration_stats(const std::vector<Duration>& values);

// later - earlier for each consecutive pair whose later value is not smaller;
// a falling pair gives no entry.
std::vector<Duration> successive_differences(const std::vector<Duration>& values);

// The recorded point nearest to each multiple of `rate` (earlier point on a
// tie), plus the last point; never interpolated. Empty for an empty history
// or a zero rate.
std::vector<SamplePoint> downsample_series(const SampleMap& history, Duration rate);

// Cumulative bytes at time `t`, interpolated over whole milliseconds between
// the neighbouring points; with a rate also the sampled history up to `t`.
BytesAt bytes_at(const SampleMap& history, Duration t, std::optional<Duration> rate);

// Throughput of a phase up to the earliest end among the connections. With a
// start, bytes are counted from there; with a rate the raw history is kept.
// A start later than that end gives an empty window: 0 bytes, 0 bps and no
// raw history.
Throughput compute_throughput(const PhaseSamples& samples, std::optional<Duration> start,
                              std::optional<Duration> rate);

RawData to_raw_data(RawHistory&& history);

// Pieces of the algorithms above, for the compact histories that must give
// the same figures (ThroughputRecorder):
// the first multiple of `rate` not earlier than `time` (64-bit float seconds,
// rounded to the nanosecond);
Duration grid_point_at_or_after(Duration time, Duration rate);
// whether `candidate` lies strictly nearer to `t` than `current` does;
bool strictly_nearer(Duration candidate, Duration current, Duration t);
// the bytes at `t` between the last point before it (time zero, zero bytes
// when there is none) and the first point after it.
std::uint64_t interpolated_bytes(std::optional<SamplePoint> before, SamplePoint next, Duration t);

// "min/max/avg/med/std_dev/var = 1ms/10ms/4ms/2.5ms/3.535533ms/12500s",
// "-" for an absent value.
std::string to_string(const DurationStats& stats);

}  // namespace vela_client

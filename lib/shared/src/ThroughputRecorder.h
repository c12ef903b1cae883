#pragma once
// What a throughput phase keeps of its runners' byte histories, in memory
// that does not grow with the link rate, while giving exactly the figures
// that compute_throughput gives over the whole histories.
//
// A downlink records a point per chunk: millions of points at high rates.
// The figures need little of them:
//  - the result (compute_throughput with the cut and the sampling rate):
//    each connection's last point, the points around the cut, the
//    downsampled history, and the points around the end of the window, which
//    is the earliest of the connections' last points;
//  - the running throughput (compute_throughput over the progress series,
//    neither cut nor rate): each series' last point and the points around the
//    earliest of them.
// The cut and the sampling rate are known from the start, so the first three
// are kept as the points stream past (SeriesSummary). Both ends are the
// earliest last point of some set of connections, and no connection's last
// point can move backwards: an end can never lie before the earliest of the
// latest points seen so far (the floor). Points before the last one that lies
// before the floor are dropped (prune); what stays is about one progress
// interval of points per connection.
//
// The downlink's history reaches the phase in pieces (SampleUpdate): the
// progress reports carry every point but the first, and the completion the
// rest. The uplink's few points (the server's notifications) come whole with
// the completion, and its progress reports are merged as they come.

#include "PackedSeries.h"
#include "ResultStatistics.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace vela_client {

// Streaming summary of one history (points in ascending time): what the
// result needs of it that does not depend on the end of the window.
class SeriesSummary {
public:
    SeriesSummary(std::optional<Duration> cut, std::optional<Duration> rate);

    void add(SamplePoint p);  // later than every point added before

    std::size_t count() const { return count_; }
    std::optional<SamplePoint> last() const { return last_; }
    // bytes_at(history, cut) without a rate.
    std::uint64_t bytes_at_cut() const;
    // downsample_series(history, rate); empty without a rate.
    std::vector<SamplePoint> downsampled() const;
    // downsample_series(the points earlier than t, rate), given the last
    // point earlier than t (none: there is no such point).
    std::vector<SamplePoint> downsampled_before(Duration t, std::optional<SamplePoint> before) const;

private:
    void start_step(SamplePoint p);

    std::optional<Duration> cut_;
    std::optional<Duration> rate_;
    std::size_t count_ = 0;
    std::optional<SamplePoint> last_;
    std::optional<SamplePoint> before_cut_;
    std::optional<SamplePoint> from_cut_;
    // The downsampling, one step per grid point: the point chosen, and the
    // time of the first point past the grid point (the horizon), which the
    // step looked at to decide. A history cut short before that point would
    // not have made the step.
    struct Step {
        SamplePoint chosen;
        Duration horizon;
    };
    std::vector<Step> steps_;
    bool in_step_ = false;   // a step waits for the first point past grid_
    Duration grid_;
    SamplePoint candidate_;  // the step's last point not later than grid_
};

class ThroughputRecorder {
public:
    // `cut` and `rate` as compute_throughput will be given them for the result.
    ThroughputRecorder(std::optional<Duration> cut, std::optional<Duration> rate);

    // Downlink: a progress report, a piece of the runner's history whose
    // points are also merged into its progress series.
    void progress(std::uint8_t runner, SampleUpdate&& update);
    // Uplink: a progress report, merged into the runner's progress series
    // (a point at a time already present takes the new value).
    void progress(std::uint8_t runner, const std::vector<SamplePoint>& points);
    // Downlink: the completion with the last piece; the history is whole.
    void completed(std::uint8_t runner, SampleUpdate&& rest);
    // Uplink: the completion with the whole history (replacing an earlier one).
    void completed(std::uint8_t runner, const std::vector<SamplePoint>& history);

    // compute_throughput over the progress series, without cut or rate.
    Throughput running() const;
    // compute_throughput over the completed histories with the cut and rate.
    Throughput result() const;

    // Drops the points that no later figure can need. `waiting` are the
    // runners that may still report; one that has reported no point yet
    // keeps everything.
    void prune(const std::vector<std::uint8_t>& waiting);

    // Points held in the progress series (for tests).
    std::size_t retained_points() const;

private:
    struct Around {
        std::optional<SamplePoint> before;
        std::optional<SamplePoint> at_or_after;
    };

    // A runner's progress series: the reports in order, or once a report did
    // not continue the series, a map.
    struct Series {
        std::deque<PackedSeries> blocks;
        std::optional<std::map<Duration, std::uint64_t>> merged;

        bool empty() const;
        SamplePoint last() const;
        void merge(PackedSeries&& points);
        void merge(const std::vector<SamplePoint>& points);
        Around around(Duration t) const;
        void prune(Duration floor);
        std::size_t size() const;
    };

    struct Lane {
        explicit Lane(const ThroughputRecorder& r) : summary(r.cut_, r.rate_) {}
        Series progress;
        // The history: in pieces (first point, the progress series, rest) or whole.
        bool pieces = false;
        bool complete = false;
        SeriesSummary summary;
        std::optional<SamplePoint> held;  // the newest point, whose bytes may still be restated
        std::optional<SamplePoint> first;
        std::map<Duration, std::uint64_t> restated;  // final bytes of points the progress series holds otherwise
        PackedSeries rest;
        std::vector<SamplePoint> whole;

        void feed(SamplePoint p);
        void take(SampleUpdate& update);  // restated and first, points into the summary
        Around around(Duration t) const;  // in the whole history
    };

    Lane& lane(std::uint8_t runner);

    std::optional<Duration> cut_;
    std::optional<Duration> rate_;
    std::map<std::uint8_t, Lane> lanes_;
};

} // namespace vela_client

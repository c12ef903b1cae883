#include <gtest/gtest.h>

#include "ResultStatistics.h"

using namespace vela_client;

namespace {

Duration ms(std::uint64_t v) { return Duration::from_millis(v); }
Duration ns(std::uint64_t v) { return Duration::from_nanos(v); }

std::vector<std::uint64_t> times_ms(const std::vector<SamplePoint>& points)
{
    std::vector<std::uint64_t> out;
    for (const auto& p : points) {
        out.push_back(static_cast<std::uint64_t>(p.time.as_nanos() / 1'000'000));
    }
    return out;
}

SampleMap history(std::initializer_list<std::pair<Duration, std::uint64_t>> points)
{
    return SampleMap(points.begin(), points.end());
}

}  // namespace

TEST(DurationStats, ExamplesHold)
{
    const std::vector<Duration> input = {ms(3), ms(1), ms(2), ms(10)};
    const DurationStats s = duration_stats(input);
    EXPECT_EQ(s.min, ms(1));
    EXPECT_EQ(s.max, ms(10));
    EXPECT_EQ(s.avg, ms(4));
    EXPECT_EQ(s.med, Duration::from_micros(2500));
    EXPECT_EQ(s.var, ns(12'500'000'000'000ULL));
    EXPECT_EQ(s.std_dev, ns(3'535'533));
    EXPECT_EQ(input.front(), ms(3));  // the input keeps its order
    EXPECT_EQ(to_string(s), "min/max/avg/med/std_dev/var = 1ms/10ms/4ms/2.5ms/3.535533ms/12500s");

    // The half nanosecond is dropped from median and mean.
    const DurationStats halves = duration_stats({ns(1), ns(2)});
    EXPECT_EQ(halves.med, ns(1));
    EXPECT_EQ(halves.avg, ns(1));

    // The variance of 1 s and 11 s needs more than 64 bits of nanoseconds.
    const DurationStats wide = duration_stats({Duration::from_secs(1), Duration::from_secs(11)});
    EXPECT_EQ(wide.avg, Duration::from_secs(6));
    EXPECT_EQ(wide.var->as_nanos(), static_cast<uint128_t>(25'000'000'000ULL) * 1'000'000'000ULL);
    EXPECT_EQ(wide.std_dev, Duration::from_secs(5));

    const DurationStats one = duration_stats({ms(7)});
    EXPECT_EQ(one, (DurationStats{ms(7), ms(7), ms(7), ms(7), Duration(), Duration()}));

    const DurationStats none = duration_stats({});
    EXPECT_EQ(none, DurationStats{});
    EXPECT_EQ(to_string(none), "min/max/avg/med/std_dev/var = -/-/-/-/-/-");
}

TEST(DurationStats, ExtremeValuesSaturateInsteadOfWrapping)
{
    const DurationStats s = duration_stats({Duration(), Duration::max(), Duration::max()});
    EXPECT_EQ(s.min, Duration());
    EXPECT_EQ(s.max, Duration::max());
    EXPECT_EQ(s.med, Duration::max());
    EXPECT_EQ(s.var, Duration::max());
    EXPECT_TRUE(s.std_dev.has_value());
}

TEST(DurationStats, TextFormPicksTheLargestUnitReached)
{
    const std::pair<Duration, const char*> cases[] = {
        {ns(0), "0ns"},          {ns(750), "750ns"},
        {ns(1500), "1.5\xC2\xB5s"}, {Duration::from_micros(1500), "1.5ms"},
        {Duration::from_secs(2), "2s"}, {Duration(1, 1), "1.000000001s"},
        {ns(999'999'999), "999.999999ms"},
    };
    for (const auto& [d, text] : cases) {
        EXPECT_EQ(format_duration(d), text);
    }
}

TEST(SuccessiveDifferences, FallingPairsGiveNoEntry)
{
    EXPECT_EQ(successive_differences({ms(5), ms(3), ms(4), ms(4)}), (std::vector<Duration>{ms(1), Duration()}));
    EXPECT_TRUE(successive_differences({}).empty());
    EXPECT_TRUE(successive_differences({ms(1)}).empty());
    EXPECT_EQ(successive_differences({ms(1), ms(3), ms(6)}), (std::vector<Duration>{ms(2), ms(3)}));
}

TEST(DownsampleSeries, PicksNearestRecordedPointPerGridStep)
{
    const SampleMap h = history({{ms(10), 1}, {ms(260), 2}, {ms(490), 3}, {ms(510), 4}, {ms(760), 5}});
    const auto points = downsample_series(h, ms(250));
    EXPECT_EQ(times_ms(points), (std::vector<std::uint64_t>{260, 490, 760}));
    EXPECT_EQ(points[1].bytes, 3U);  // recorded, never interpolated

    EXPECT_EQ(times_ms(downsample_series(history({{ms(42), 7}}), ms(250))), (std::vector<std::uint64_t>{42}));
    EXPECT_EQ(times_ms(downsample_series(history({{ms(10), 1}, {ms(100), 2}, {ms(200), 3}}), ms(1000))),
              (std::vector<std::uint64_t>{200}));
    // Grid points without samples are skipped; the last point is always kept.
    EXPECT_EQ(times_ms(downsample_series(history({{ms(10), 1}, {ms(1010), 2}}), ms(250))),
              (std::vector<std::uint64_t>{10, 1010}));
    EXPECT_TRUE(downsample_series({}, ms(250)).empty());
    EXPECT_TRUE(downsample_series(h, Duration()).empty());
}

TEST(BytesAt, ExactOrInterpolatedOverWholeMilliseconds)
{
    const SampleMap h = history({{ms(0), 100}, {ms(3), 400}});
    EXPECT_EQ(bytes_at(h, ms(3), std::nullopt).bytes, 400U);
    EXPECT_EQ(bytes_at(h, Duration::from_micros(1500), std::nullopt).bytes, 200U);
    // After the last point there is nothing to count.
    const BytesAt past = bytes_at(h, ms(4), ms(1));
    EXPECT_EQ(past.bytes, 0U);
    EXPECT_FALSE(past.points.has_value());
    EXPECT_EQ(bytes_at({}, ms(0), ms(1)).bytes, 0U);
    // Before the first point the span starts at (0, 0).
    EXPECT_EQ(bytes_at(history({{ms(4), 400}}), ms(1), std::nullopt).bytes, 100U);
    // Both spans under a millisecond add nothing.
    EXPECT_EQ(bytes_at(history({{ns(0), 100}, {Duration::from_micros(500), 200}}), Duration::from_micros(250),
                       std::nullopt)
                  .bytes,
              100U);
    // Falling counters (a broken history) are held at zero, never wrapped.
    EXPECT_EQ(bytes_at(history({{ms(0), 1000}, {ms(10), 0}}), ms(5), std::nullopt).bytes, 500U);
    EXPECT_EQ(bytes_at(history({{ms(0), UINT64_MAX}, {ms(10), 0}}), ms(10) , std::nullopt).bytes, 0U);
}

TEST(BytesAt, WithRateReturnsSampledHistoryUpToTheTime)
{
    const SampleMap h = history({{ms(100), 1}, {ms(240), 2}, {ms(500), 3}, {ms(800), 6}});
    const BytesAt exact = bytes_at(h, ms(500), ms(250));
    ASSERT_TRUE(exact.points.has_value());
    EXPECT_EQ(times_ms(*exact.points), (std::vector<std::uint64_t>{240, 500, 800}));

    const BytesAt between = bytes_at(h, ms(600), ms(250));
    EXPECT_EQ(between.bytes, 4U);
    ASSERT_TRUE(between.points.has_value());
    EXPECT_EQ(times_ms(*between.points), (std::vector<std::uint64_t>{240, 500, 600}));
    EXPECT_EQ(between.points->back().bytes, 4U);
}

TEST(ComputeThroughput, CountsAllConnectionsUpToTheEarliestEnd)
{
    PhaseSamples samples;
    samples[0] = history({{Duration::from_secs(5), 400}, {ms(9800), 980}, {ms(10200), 1020}});
    samples[1] = history({{Duration::from_secs(5), 300}, {Duration::from_secs(10), 600}});
    samples[2] = {};  // a connection without points is ignored

    const Throughput all = compute_throughput(samples, std::nullopt, std::nullopt);
    EXPECT_EQ(all.duration, Duration::from_secs(10));
    EXPECT_EQ(all.bytes, 1600U);  // connection 0 interpolated at 10.0 s
    EXPECT_DOUBLE_EQ(all.bps, 1280.0);
    EXPECT_FALSE(all.raw_history.has_value());

    Throughput window = compute_throughput(samples, Duration::from_secs(5), ms(250));
    EXPECT_EQ(window.duration, Duration::from_secs(5));
    EXPECT_EQ(window.bytes, 900U);
    EXPECT_DOUBLE_EQ(window.bps, 1440.0);
    ASSERT_TRUE(window.raw_history.has_value());
    EXPECT_EQ(window.raw_history->size(), 2U);
    EXPECT_EQ(window.raw_history->at(0).back(), (SamplePoint{Duration::from_secs(10), 1000}));

    RawData raw = to_raw_data(std::move(*window.raw_history));
    ASSERT_EQ(raw.size(), 2U);
    EXPECT_EQ(raw.at(1).back(), (ThroughputSample{600, Duration::from_secs(10)}));
}

TEST(ComputeThroughput, NothingToCountGivesZeros)
{
    for (const PhaseSamples& samples : {PhaseSamples{}, PhaseSamples{{0, SampleMap{}}, {3, SampleMap{}}}}) {
        const Throughput t = compute_throughput(samples, Duration::from_secs(1), ms(250));
        EXPECT_EQ(t.duration, Duration());
        EXPECT_EQ(t.bytes, 0U);
        EXPECT_EQ(t.bps, 0.0);
        EXPECT_FALSE(t.raw_history.has_value());
    }
    // A start at the end gives an empty window without dividing by zero.
    PhaseSamples one{{0, history({{ms(10), 5}})}};
    const Throughput at_end = compute_throughput(one, ms(10), std::nullopt);
    EXPECT_EQ(at_end.bytes, 0U);
    EXPECT_EQ(at_end.bps, 0.0);
}

TEST(ComputeThroughput, StartAfterEndGivesEmptyWindowNotWrappedSpan)
{
    // Connection 1 stopped before the counted window opened at 5 s.
    PhaseSamples samples;
    samples[0] = history({{Duration::from_secs(2), 100}, {Duration::from_secs(8), 800}});
    samples[1] = history({{Duration::from_secs(1), 50}, {Duration::from_secs(3), 300}});
    const Throughput t = compute_throughput(samples, Duration::from_secs(5), ms(1000));
    EXPECT_EQ(t.duration, Duration());
    EXPECT_EQ(t.bytes, 0U);
    EXPECT_EQ(t.bps, 0.0);
    // Nothing was counted: no history of it goes into the result either.
    EXPECT_FALSE(t.raw_history.has_value());
}

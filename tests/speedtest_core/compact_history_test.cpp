// The compact byte histories against the whole ones: the packed series, the
// pieces a runner hands on, the streaming summary, and the recorder whose
// result JSON must be byte for byte what compute_throughput gives over the
// whole per-chunk histories, with running figures equal at every report.

#include <gtest/gtest.h>

#include "ClientConfig.h"
#include "ClientResult.h"
#include "PackedSeries.h"
#include "ResultStatistics.h"
#include "RunnerCommands.h"
#include "ThroughputPhases.h"
#include "ThroughputRecorder.h"

#include <algorithm>
#include <deque>
#include <random>

using namespace vela_client;

namespace compact_test {

using Points = std::vector<SamplePoint>;
using Rng = std::mt19937_64;

Duration nanos(std::uint64_t v) { return Duration::from_nanos(v); }
Duration millis(std::uint64_t v) { return Duration::from_millis(v); }

std::uint64_t pick(Rng& rng, std::uint64_t lo, std::uint64_t hi)
{
    return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
}
bool chance(Rng& rng, double p) { return std::bernoulli_distribution(p)(rng); }

SampleMap to_map(const Points& points)
{
    SampleMap map;
    for (const auto& p : points)
        map.insert_or_assign(p.time, p.bytes);
    return map;
}

Points to_points(const SampleMap& map)
{
    Points out;
    for (const auto& [t, b] : map)
        out.push_back({t, b});
    return out;
}

// The gaps a runner sees between chunks: mostly sub-microsecond to
// milliseconds, now and then a stall, and sometimes none at all (two chunks
// at one clock reading).
std::uint64_t gap_ns(Rng& rng)
{
    const auto kind = pick(rng, 0, 99);
    if (kind < 5)
        return 0;
    if (kind < 50)
        return pick(rng, 1, 3000);
    if (kind < 80)
        return pick(rng, 3000, 2'000'000);
    if (kind < 96)
        return pick(rng, 2'000'000, 300'000'000);
    return pick(rng, 300'000'000, 3'000'000'000ULL);
}

// Chunk arrivals of one connection: (time, cumulative bytes), times never
// falling, possibly repeating.
Points arrivals(Rng& rng, std::size_t n)
{
    Points out;
    std::uint64_t t = chance(rng, 0.2) ? 0 : pick(rng, 0, 400'000'000);
    std::uint64_t bytes = 0;
    const std::uint64_t chunk = chance(rng, 0.5) ? 4096 : pick(rng, 1, 1 << 20);
    const bool varying = chance(rng, 0.2);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0)
            t += gap_ns(rng);
        bytes += varying ? pick(rng, 0, 3 * chunk) : chunk;
        out.push_back({nanos(t), bytes});
    }
    return out;
}

// ---- PackedSeries ------------------------------------------------------------

TEST(PackedSeries, HoldsAndFindsWhatAVectorWould)
{
    Rng rng(7);
    struct Case {
        const char* name;
        std::size_t n;
        int bytes_kind;  // 0 even chunks, 1 random counts (falling too), 2 near 2^64
        std::uint64_t max_gap;
    };
    const std::vector<Case> cases = {
        {"empty", 0, 0, 1000},           {"one point", 1, 0, 1000},
        {"two", 2, 1, 1000},             {"a mark less one", 511, 0, 5000},
        {"a mark", 512, 0, 5000},        {"a mark and one", 513, 1, 5000},
        {"long, even", 3000, 0, 20000},  {"long, random counts", 3000, 1, 1'000'000'000},
        {"huge counts and gaps", 1500, 2, 1ULL << 40},
        {"many segments", 30000, 1, 1'000'000'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PackedSeries packed;
        Points points;
        std::uint64_t t = pick(rng, 0, 1000);
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < c.n; ++i) {
            if (i > 0)
                t += pick(rng, 1, c.max_gap);
            bytes = c.bytes_kind == 0 ? bytes + 4096 : c.bytes_kind == 1 ? pick(rng, 0, 1ULL << 50) : UINT64_MAX - pick(rng, 0, 9);
            ASSERT_TRUE(packed.push(nanos(t), bytes));
            points.push_back({nanos(t), bytes});
        }
        ASSERT_EQ(packed.size(), points.size());
        EXPECT_EQ(packed.to_vector(), points);
        if (points.empty()) {
            EXPECT_FALSE(packed.around(millis(1)).before);
            EXPECT_FALSE(packed.around(millis(1)).at_or_after);
            continue;
        }
        EXPECT_EQ(packed.front(), points.front());
        EXPECT_EQ(packed.back(), points.back());
        std::vector<Duration> probes = {Duration::zero(), Duration::max()};
        for (const auto& p : points) {
            probes.push_back(p.time);
            probes.push_back(p.time.saturating_add(nanos(1)));
            probes.push_back(p.time.saturating_sub(nanos(1)));
        }
        for (const Duration probe : probes) {
            const auto next = std::lower_bound(points.begin(), points.end(), probe,
                                               [](const SamplePoint& p, Duration v) { return p.time < v; });
            const auto a = packed.around(probe);
            ASSERT_EQ(a.at_or_after.has_value(), next != points.end()) << format_duration(probe);
            if (next != points.end()) {
                ASSERT_EQ(*a.at_or_after, *next);
            }
            ASSERT_EQ(a.before.has_value(), next != points.begin());
            if (next != points.begin()) {
                ASSERT_EQ(*a.before, *std::prev(next));
            }
        }
    }
}

TEST(PackedSeries, KeepsMapOrderAndSmallChunkHistoriesSmall)
{
    PackedSeries s;
    EXPECT_TRUE(s.push(millis(10), 1));
    EXPECT_TRUE(s.push(millis(10), 2));   // same time: the point takes the new count
    EXPECT_TRUE(s.push(millis(20), 3));
    EXPECT_FALSE(s.push(millis(15), 9));  // earlier: refused, nothing changes
    EXPECT_FALSE(s.push(Duration::max(), 9));  // beyond 64-bit nanoseconds
    EXPECT_EQ(s.to_vector(), (Points{{millis(10), 2}, {millis(20), 3}}));

    // A downlink's history: 4 KiB chunks about a microsecond apart.
    Rng rng(3);
    PackedSeries chunks;
    std::uint64_t t = 0;
    for (std::uint64_t i = 1; i <= 100'000; ++i)
        chunks.push(nanos(t += pick(rng, 200, 4000)), i * 4096);
    EXPECT_LE(chunks.memory_bytes(), 100'000u * 4) << "bytes per point: " << chunks.memory_bytes() / 100'000.0;
}

// ---- HistoryPieces -------------------------------------------------------------

// The runner's history as the routine kept it whole: a map from time to the
// latest count, each report carrying the points after the last one reported.
struct WholeRunner {
    SampleSeries samples;
    std::optional<Duration> report_from;
    std::vector<SampleSeries> reports;

    void record(Duration t, std::uint64_t b)
    {
        insert_sample(samples, t, b);
        if (!report_from)
            report_from = t;
    }
    void report(Duration newest)
    {
        reports.push_back(samples_after(samples, report_from.value_or(Duration::zero())));
        report_from = newest;
    }
};

TEST(HistoryPieces, TogetherTheyAreTheWholeHistoryAndEachReportCarriesWhatItDid)
{
    for (std::uint64_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        Rng rng(seed);
        const Points events = arrivals(rng, pick(rng, 0, 60));
        const double p_report = std::uniform_real_distribution<double>(0.0, 0.7)(rng);
        HistoryPieces pieces;
        WholeRunner whole;
        Points replayed;
        for (const auto& e : events) {
            pieces.record(e.time, e.bytes);
            whole.record(e.time, e.bytes);
            if (chance(rng, p_report)) {
                const SampleUpdate piece = pieces.take();
                whole.report(e.time);
                EXPECT_EQ(piece.points.to_vector(), whole.reports.back()) << "a report carries the same points";
                apply_update(replayed, piece);
            }
        }
        apply_update(replayed, pieces.take());
        EXPECT_EQ(replayed, whole.samples);
        EXPECT_EQ(to_map(replayed), to_map(events));
    }
}

TEST(HistoryPieces, PiecesHoldNoSpareRoom)
{
    // A steady downlink: pieces of 200000 points. Each taken piece holds just
    // its points, and while it filled it held at most one spare segment
    // (64 KiB), never the unused half that doubling growth leaves.
    Rng rng(5);
    HistoryPieces pieces;
    std::uint64_t t = 0;
    std::uint64_t bytes = 0;
    for (int report = 0; report < 4; ++report) {
        PackedSeries alone;
        for (int i = 0; i < 200000; ++i) {
            t += pick(rng, 200, 4000);
            bytes += 4096;
            pieces.record(nanos(t), bytes);
            if (report > 0 || i > 0)
                alone.push(nanos(t), bytes);
        }
        const std::size_t filled = pieces.pending().points.memory_bytes();
        const SampleUpdate piece = pieces.take();
        alone.shrink_to_fit();
        ASSERT_EQ(piece.points.to_vector(), alone.to_vector());
        EXPECT_EQ(piece.points.memory_bytes(), alone.memory_bytes()) << "report " << report;
        EXPECT_GT(alone.memory_bytes(), 256u * 1024);
        EXPECT_LE(filled, alone.memory_bytes() + 64 * 1024 + 1024) << "report " << report;
    }
}

// ---- SeriesSummary -------------------------------------------------------------

TEST(SeriesSummary, DownsamplesAndCutsAsTheWholeHistoryDoes)
{
    const std::vector<std::optional<Duration>> rates = {millis(250), millis(1), millis(37), Duration::zero(), std::nullopt};
    for (std::uint64_t seed = 1; seed <= 120; ++seed) {
        SCOPED_TRACE(seed);
        Rng rng(seed);
        Points history = to_points(to_map(arrivals(rng, pick(rng, 0, 400))));
        if (seed % 10 == 0)
            history = {{millis(10), 1}, {millis(260), 2}, {millis(490), 3}, {millis(510), 4}, {millis(760), 5}};
        const SampleMap map = to_map(history);
        for (const auto& rate : rates) {
            SCOPED_TRACE(rate ? format_duration(*rate) : "no rate");
            std::vector<Duration> probes = {Duration::zero(), millis(3000), Duration::max()};
            for (const auto& p : history) {
                probes.push_back(p.time);
                probes.push_back(p.time.saturating_add(nanos(pick(rng, 1, 900'000))));
            }
            const Duration cut = probes[pick(rng, 0, probes.size() - 1)];
            SeriesSummary summary(cut, rate);
            for (const auto& p : history)
                summary.add(p);
            EXPECT_EQ(summary.count(), history.size());
            EXPECT_EQ(summary.bytes_at_cut(), bytes_at(map, cut, std::nullopt).bytes);
            if (!rate)
                continue;
            EXPECT_EQ(summary.downsampled(), downsample_series(map, *rate));
            for (const Duration t : probes) {
                const SampleMap before(map.begin(), map.lower_bound(t));
                std::optional<SamplePoint> last_before;
                if (!before.empty())
                    last_before = SamplePoint{before.rbegin()->first, before.rbegin()->second};
                ASSERT_EQ(summary.downsampled_before(t, last_before), downsample_series(before, *rate))
                    << "before " << format_duration(t);
            }
        }
    }
}

// ---- ThroughputRecorder --------------------------------------------------------

std::string result_json(const Throughput& t)
{
    ClientResult r;
    r.dl = throughput_result(t, PhaseTiming{millis(5), millis(13000)}, {});
    r.client_config = ClientConfig{};
    auto json = r.write_json();
    return json ? *json : "error: " + json.error();
}

// One runner's messages to the phase, in the order it sends them.
struct Message {
    std::uint8_t runner = 0;
    bool completion = false;
    SampleUpdate piece;      // downlink
    SampleSeries batch;      // uplink progress
    SampleSeries whole;      // uplink completion
};

struct Scenario {
    std::optional<Duration> cut;
    std::optional<Duration> rate;
    bool uplink = false;
    std::vector<std::deque<Message>> runners;  // per runner, in sending order
    PhaseSamples histories;                    // what each runner recorded, whole
};

Scenario downlink_scenario(Rng& rng, std::size_t runners, std::size_t max_events)
{
    Scenario s;
    for (std::size_t r = 0; r < runners; ++r) {
        std::deque<Message> out;
        // Connections of a phase run about as long; now and then one is cut short.
        const std::size_t n = chance(rng, 0.15) ? pick(rng, 0, 5) : pick(rng, max_events / 2, max_events);
        const Points events = arrivals(rng, n);
        const double p_report = std::uniform_real_distribution<double>(0.0005, 0.3)(rng);
        HistoryPieces pieces;
        for (std::size_t i = 0; i < events.size(); ++i) {
            pieces.record(events[i].time, events[i].bytes);
            const bool last_chunk = i + 1 == events.size() && chance(rng, 0.7);
            if (last_chunk || chance(rng, p_report))
                out.push_back(Message{static_cast<std::uint8_t>(r), false, pieces.take(), {}, {}});
        }
        out.push_back(Message{static_cast<std::uint8_t>(r), true, pieces.take(), {}, {}});
        s.runners.push_back(std::move(out));
        s.histories[static_cast<std::uint8_t>(r)] = to_map(events);
    }
    return s;
}

// The server's notifications: mostly rising, sometimes out of order or
// repeating a time.
Scenario uplink_scenario(Rng& rng, std::size_t runners)
{
    Scenario s;
    s.uplink = true;
    for (std::size_t r = 0; r < runners; ++r) {
        std::deque<Message> out;
        WholeRunner runner;
        std::uint64_t t = pick(rng, 1, 500'000'000);
        std::uint64_t bytes = 0;
        const bool hostile = chance(rng, 0.3);
        const std::size_t n = pick(rng, 0, 40);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t key = t;
            if (hostile && chance(rng, 0.3))
                key = pick(rng, 0, t);
            t += pick(rng, 1, 1'500'000'000);
            bytes += pick(rng, 0, 50'000'000);
            runner.record(nanos(key), bytes);
            if (chance(rng, 0.5)) {
                runner.report(nanos(key));
                out.push_back(Message{static_cast<std::uint8_t>(r), false, {}, runner.reports.back(), {}});
            }
        }
        out.push_back(Message{static_cast<std::uint8_t>(r), true, {}, {}, runner.samples});
        s.runners.push_back(std::move(out));
        s.histories[static_cast<std::uint8_t>(r)] = to_map(runner.samples);
    }
    return s;
}

std::optional<Duration> random_cut(Rng& rng, const PhaseSamples& histories)
{
    std::vector<Duration> times;
    for (const auto& [r, h] : histories)
        for (const auto& [t, b] : h)
            times.push_back(t);
    switch (pick(rng, 0, 5)) {
    case 0: return std::nullopt;
    case 1: return millis(3000);
    case 2: return nanos(1);
    case 3: return times.empty() ? millis(1) : times[pick(rng, 0, times.size() - 1)];
    case 4: return times.empty() ? millis(1) : times[pick(rng, 0, times.size() - 1)].saturating_add(nanos(pick(rng, 1, 5'000'000)));
    default: return Duration::from_secs(100);  // past every end: an empty window
    }
}

// Delivers the messages in a random interleaving (each runner's in order), as
// the phase does, checking the running figure after every report; then the
// result against compute_throughput over the whole histories.
void play(Scenario s, Rng& rng)
{
    ThroughputRecorder recorder(s.cut, s.rate);
    PhaseSamples progress;
    std::vector<std::uint8_t> waiting;
    for (std::size_t r = 0; r < s.runners.size(); ++r)
        waiting.push_back(static_cast<std::uint8_t>(r));
    std::size_t messages = 0;
    for (;;) {
        std::vector<std::size_t> ready;
        for (std::size_t r = 0; r < s.runners.size(); ++r)
            if (!s.runners[r].empty())
                ready.push_back(r);
        if (ready.empty())
            break;
        const std::size_t r = ready[pick(rng, 0, ready.size() - 1)];
        Message m = std::move(s.runners[r].front());
        s.runners[r].pop_front();
        ++messages;
        if (m.completion) {
            if (s.uplink)
                recorder.completed(m.runner, m.whole);
            else
                recorder.completed(m.runner, std::move(m.piece));
            std::erase(waiting, m.runner);
            continue;
        }
        if (s.uplink) {
            append_samples(progress[m.runner], m.batch);
            recorder.progress(m.runner, m.batch);
        } else {
            append_samples(progress[m.runner], m.piece.points.to_vector());
            recorder.progress(m.runner, std::move(m.piece));
        }
        recorder.prune(waiting);
        const Throughput want = compute_throughput(progress, std::nullopt, std::nullopt);
        const Throughput got = recorder.running();
        ASSERT_EQ(got.bytes, want.bytes) << "after message " << messages;
        ASSERT_EQ(got.duration, want.duration);
        ASSERT_EQ(got.bps, want.bps);
    }
    const Throughput want = compute_throughput(s.histories, s.cut, s.rate);
    const Throughput got = recorder.result();
    ASSERT_EQ(result_json(got), result_json(want));
    ASSERT_EQ(got.bps, want.bps);
}

TEST(ThroughputRecorder, ResultJsonIsByteForByteWhatTheWholeHistoriesGive)
{
    for (std::uint64_t seed = 1; seed <= 250; ++seed) {
        SCOPED_TRACE(seed);
        Rng rng(seed);
        const std::size_t runners = pick(rng, 1, 6);
        Scenario s = seed % 5 == 0 ? uplink_scenario(rng, runners) : downlink_scenario(rng, runners, 1500);
        s.cut = random_cut(rng, s.histories);
        const std::vector<std::optional<Duration>> rates = {millis(250), millis(1), millis(37), Duration::zero()};
        s.rate = rates[pick(rng, 0, rates.size() - 1)];
        play(std::move(s), rng);
        if (HasFatalFailure())
            return;
    }
}

TEST(ThroughputRecorder, KeepsAboutOneReportPerConnection)
{
    // Four connections reporting in turn, a thousand points per report: the
    // progress series hold a few reports' worth, not the whole test.
    Rng rng(11);
    ThroughputRecorder recorder(millis(3000), millis(250));
    std::vector<HistoryPieces> pieces(4);
    PhaseSamples whole;
    std::vector<std::uint64_t> t(4, 0), bytes(4, 0);
    std::vector<std::uint8_t> waiting = {0, 1, 2, 3};
    std::size_t most = 0;
    for (int report = 0; report < 60; ++report) {
        for (std::uint8_t r = 0; r < 4; ++r) {
            for (int i = 0; i < 1000; ++i) {
                t[r] += pick(rng, 100'000, 300'000);
                bytes[r] += 4096;
                pieces[r].record(nanos(t[r]), bytes[r]);
                whole[r][nanos(t[r])] = bytes[r];
            }
            recorder.progress(r, pieces[r].take());
            recorder.prune(waiting);
            most = std::max(most, recorder.retained_points());
        }
    }
    for (std::uint8_t r = 0; r < 4; ++r) {
        recorder.completed(r, pieces[r].take());
        std::erase(waiting, r);
    }
    EXPECT_LE(most, 4u * 3 * 1000);
    EXPECT_EQ(result_json(recorder.result()), result_json(compute_throughput(whole, millis(3000), millis(250))));
}

} // namespace compact_test

// The RTT UDP ping against the test server's UDP port (loss, duplication and
// reordering are the server's switches), its evaluation and its datagrams.

#include "RunnerTestSupport.h"
#include "UdpPing.h"
#include "UdpPingCodec.h"

#include <gmock/gmock.h>

using namespace runner_test;

namespace {

struct PingRun {
    RoutineOutcome<RttUdpResult> result = unexpected(std::string("not run"));
    std::vector<ProgressReport> reports;
    std::uint32_t finished_after = 0;
};

class UdpPingTest : public ::testing::Test {
protected:
    UdpPingTest() { test_log(); }

    PingRun ping(speed_server::Options options, UdpPingParams params, std::uint32_t phase_count = 1)
    {
        options.secret_key = kSecret;
        server_ = std::make_unique<speed_server::SpeedServer>(options);
        server_->start();
        auto [tx, rx] = make_unbounded_channel<ProgressReport>();
        PhaseProgress progress(phase_count, std::move(tx));
        UdpPingContext context;
        context.log_id = "abcdef0";
        context.run_start = std::chrono::steady_clock::now();
        context.server = asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), server_->udp_port());
        context.progress_interval = Duration::from_millis(20);
        context.progress = &progress;
        PingRun run;
        auto outcome = runtime_.block_on(within(rtt_udp_ping(context, params), 10s));
        if (!outcome) {
            ADD_FAILURE() << "the ping did not end";
            return run;
        }
        run.result = std::move(*outcome);
        run.finished_after = runtime_.block_on(progress.finished());
        while (auto report = rx.try_recv())
            run.reports.push_back(*report);
        return run;
    }

    static UdpPingParams params(std::uint32_t n)
    {
        return {n, Duration::from_millis(1), Duration::from_secs(5), Duration::from_millis(300)};
    }

    std::unique_ptr<speed_server::SpeedServer> server_;
    Runtime runtime_{4};
};

std::vector<std::optional<std::uint32_t>> numbers(const RttUdpResult& r)
{
    std::vector<std::optional<std::uint32_t>> out;
    for (const auto& s : *r.rtts)
        out.push_back(s.number);
    return out;
}

TEST_F(UdpPingTest, EveryPingAnsweredInOrder)
{
    auto run = ping({}, params(100));
    ASSERT_TRUE(run.result) << run.result.error();
    const auto& r = *run.result;
    EXPECT_EQ(r.num_requested, 100u);
    EXPECT_EQ(r.num_sent, 100u);
    EXPECT_EQ(r.num_lost, 0u);
    EXPECT_EQ(r.num_out_of_order, 0u);
    EXPECT_EQ(r.packet_loss, 0.0F);
    ASSERT_EQ(r.rtts->size(), 100u);
    for (std::uint32_t i = 0; i < 100; ++i) {
        const auto& s = (*r.rtts)[i];
        EXPECT_EQ(s.number, i);
        EXPECT_FALSE(s.lost || s.out_of_order);
        ASSERT_TRUE(s.sample);
        // A measured time, and one that fits in the phase (a fixed bound
        // fails on a loaded machine under a sanitizer: 103 ms were seen).
        EXPECT_GT(s.sample->rtt, Duration::zero());
        if (r.timing.duration) {
            EXPECT_LT(s.sample->rtt, *r.timing.duration);
        }
    }
    EXPECT_TRUE(r.rtt.avg && r.jitter.avg);
    EXPECT_FALSE(r.connection_stream_info);
    EXPECT_TRUE(r.timing.duration && r.timing.relative_start);

    // Reports: a start at 0 %, climbing reports, one 100 % at the end.
    ASSERT_GE(run.reports.size(), 3u);
    EXPECT_EQ(run.reports.front().phase, Phase::RttUdp);
    EXPECT_EQ(run.reports.front().phase_progress, 0.0F);
    EXPECT_EQ(run.reports.back().phase_progress, 100.0F);
    EXPECT_EQ(run.reports.back().total_progress, 100.0F);
    int full = 0;
    for (const auto& rep : run.reports)
        full += rep.phase_progress == 100.0F;
    EXPECT_EQ(full, 1) << "no second 100 % report";
    EXPECT_EQ(run.finished_after, 1u);
}

TEST_F(UdpPingTest, LossDuplicationAndReordering)
{
    struct Case {
        const char* name;
        speed_server::Options server;
        std::uint32_t sent, lost, out_of_order;
        std::vector<std::optional<std::uint32_t>> numbers;  // checked when given
    };
    using N = std::vector<std::optional<std::uint32_t>>;
    const std::vector<Case> cases = {
        {"lost in the middle", {.udp_drop_ids = {1, 5}}, 8, 2, 0, N{0, std::nullopt, 2, 3, 4, std::nullopt, 6, 7}},
        {"trailing pings unanswered", {.udp_drop_ids = {6, 7}}, 6, 0, 0, N{0, 1, 2, 3, 4, 5}},
        {"nothing answered", {.udp_drop_every = 1}, 8, 8, 0, N(8, std::nullopt)},
        {"every answer twice", {.udp_duplicate = true}, 8, 0, 0, N{0, 1, 2, 3, 4, 5, 6, 7}},
        {"pairs swapped", {.udp_reorder = true}, 8, 0, 8, N{1, 0, 3, 2, 5, 4, 7, 6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = ping(c.server, {8, Duration::from_millis(5), Duration::from_secs(5), Duration::from_millis(200)});
        ASSERT_TRUE(run.result) << run.result.error();
        const auto& r = *run.result;
        EXPECT_EQ(r.num_sent, c.sent);
        EXPECT_EQ(r.num_lost, c.lost);
        EXPECT_EQ(r.num_out_of_order, c.out_of_order);
        EXPECT_EQ(numbers(r), c.numbers);
        EXPECT_FLOAT_EQ(*r.packet_loss, float(c.lost) / float(c.sent));
        EXPECT_EQ(r.rtt.avg.has_value(), c.lost < c.sent);
    }
}

TEST_F(UdpPingTest, TimeboxEndsSendingAndReceptionFollows)
{
    // 1000 pings 10 ms apart cannot fit a 100 ms time box: the sender stops
    // at the box, and the receiver ends by its own limits (the same box, or
    // a receive time-out once the sender is done) rather than waiting for
    // the 1000th answer. ping() bounds the whole phase.
    const int sender_stops = test_log().count("rtt_udp_ping: not sending more pings, timebox limit reached");
    const int receiver_stops = test_log().count("rtt_udp_ping: stopping pong reception, timebox limit reached") +
                               test_log().count("rtt_udp_ping: aborting UDP packet reception, timeout!");
    auto run = ping({}, {1000, Duration::from_millis(10), Duration::from_millis(100), Duration::from_millis(200)});
    ASSERT_TRUE(run.result) << run.result.error();
    EXPECT_GE(*run.result->num_sent, 1u);
    // A pause is never shorter than asked: about 100 ms / 10 ms pings go out.
    EXPECT_LE(*run.result->num_sent, 12u);
    EXPECT_EQ(run.result->num_requested, 1000u);
    EXPECT_EQ(test_log().count("rtt_udp_ping: not sending more pings, timebox limit reached"), sender_stops + 1);
    EXPECT_EQ(test_log().count("rtt_udp_ping: stopping pong reception, timebox limit reached") +
                  test_log().count("rtt_udp_ping: aborting UDP packet reception, timeout!"),
              receiver_stops + 1);
}

TEST_F(UdpPingTest, ZeroPingsIsRefused)
{
    auto run = ping({}, params(0));
    ASSERT_FALSE(run.result);
    EXPECT_EQ(run.result.error(), "number of pings must be > 0");
}

TEST(UdpPingEvaluation, NumbersFollowTheArrivalOrder)
{
    using Clock = UdpClock;
    const auto t0 = Clock::now();
    auto at = [t0](int ms) { return t0 + std::chrono::milliseconds(ms); };
    const std::vector<Clock::time_point> sent{at(0), at(10), at(20), at(30)};
    struct Case {
        const char* name;
        std::map<std::uint32_t, UdpArrival> received;
        std::vector<std::optional<std::uint32_t>> numbers;
    };
    const std::vector<Case> cases = {
        {"swapped", {{0, {at(5), 0}}, {2, {at(25), 1}}, {1, {at(26), 2}}, {3, {at(35), 3}}}, {0, 2, 1, 3}},
        {"one lost", {{0, {at(5), 0}}, {2, {at(25), 1}}, {3, {at(35), 2}}}, {0, std::nullopt, 2, 3}},
        // An answer to a ping never sent takes no place among the others.
        {"answer to an unsent ping", {{0, {at(5), 0}}, {9, {at(6), 1}}, {1, {at(15), 2}}, {2, {at(25), 3}}, {3, {at(35), 4}}},
         {0, 1, 2, 3}},
        {"none", {}, {std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto pings = evaluate_udp_pings(t0, sent, c.received);
        std::vector<std::optional<std::uint32_t>> got;
        for (const auto& p : pings)
            got.push_back(p.number);
        EXPECT_EQ(got, c.numbers);
    }
    const auto pings = evaluate_udp_pings(t0, sent, {{0, {at(5), 0}}, {1, {at(17), 1}}});
    ASSERT_EQ(pings.size(), 2u) << "pings after the highest answered one are left out";
    EXPECT_EQ(pings[1].sample->time, Duration::from_millis(10));
    EXPECT_EQ(pings[1].sample->rtt, Duration::from_millis(7));
}

TEST(UdpPingDatagrams, ExactBytesAndDecodeFailures)
{
    std::vector<std::uint8_t> buffer{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(encode_rtt_udp_request(buffer, 300), std::nullopt);
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0x62, 0x03, 0x08, 0xAC, 0x02}));

    const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
        {{0x6A, 0x02, 0x08, 0x05}, "5"},
        {{0x62, 0x02, 0x08, 0x05}, "unexpected message"},
        {{}, "unexpected message"},
        {{0x6A}, "failed to decode proto message"},
    };
    for (const auto& [bytes, text] : cases) {
        auto id = decode_rtt_udp_response(bytes);
        EXPECT_EQ(id ? std::to_string(*id) : id.error(), text);
    }
}

} // namespace

// The controller's pure pieces: phase planning, address filtering, result
// building, feedback texts, and the progress forwarder and tickers on a
// runtime of their own.

#include "ControllerSupport.h"
#include "Pretest.h"
#include "MeasurementController.h"
#include "Progress.h"
#include "RttPhases.h"
#include "RunMeasurement.h"
#include "Runtime.h"
#include "TestSupport.h"
#include "ThroughputPhases.h"

#include <gtest/gtest.h>

#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace vela_client;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

ClientConfig phases(bool tcp, bool udp, bool dl, bool ul, std::uint8_t dl_n = 4, std::uint8_t ul_n = 4)
{
    ClientConfig c;
    c.run_rtt_tcp_phase = tcp;
    c.run_rtt_udp_phase = udp;
    c.run_downlink_phase = dl;
    c.run_uplink_phase = ul;
    c.dl_num_connections = dl_n;
    c.ul_num_connections = ul_n;
    return c;
}

TEST(PhasePlan, CountsPhasesAndConnections)
{
    struct Case {
        ClientConfig config;
        std::uint32_t phases;
        std::uint8_t connections;
    };
    const Case cases[] = {
        {phases(false, false, false, false), 0, 1},
        {phases(false, true, false, false), 1, 1},     // RTT_UDP alone: no pretest, still one runner
        {phases(true, false, false, false), 2, 1},     // RTT_TCP needs the downlink pretest
        {phases(false, false, false, true), 2, 4},     // UPLINK_PRETEST and UPLINK
        {phases(true, true, true, true), 6, 4},
        {phases(false, false, true, true, 8, 3), 4, 8},  // the larger count serves both
        {phases(false, false, true, false, 8, 3), 2, 8},
        {phases(false, false, false, true, 8, 3), 2, 3},
        {phases(true, true, true, true, 255, 1), 6, 255},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(planned_phase_count(c.config), c.phases);
        EXPECT_EQ(runner_connection_count(c.config), c.connections);
    }
}

TEST(PhasePlan, CommandChannelHoldsFourMessagesPerConnection)
{
    EXPECT_EQ(make_command_channel(255).capacity(), 1020U);
}

TEST(ServerAddress, FiltersByIpVersionKeepingOrder)
{
    const Endpoint v6a(asio::ip::make_address("::1"), 1);
    const Endpoint v4a(asio::ip::make_address("127.0.0.1"), 2);
    const Endpoint v6b(asio::ip::make_address("2001:db8::1"), 3);
    const std::vector<Endpoint> all{v6a, v4a, v6b};
    EXPECT_EQ(filter_addresses(all, false, false), all);
    EXPECT_EQ(filter_addresses(all, true, false), std::vector<Endpoint>{v4a});
    EXPECT_EQ(filter_addresses(all, false, true), (std::vector<Endpoint>{v6a, v6b}));
    EXPECT_EQ(websocket_url_for(v6b), "ws://[2001:db8::1]:3");
    EXPECT_EQ(websocket_url_for(v4a), "ws://127.0.0.1:2");
}

TEST(ServerAddress, OnlyIpv6AddressesWithIpv4OnlyFailWithoutAttempt)
{
    client_test::test_log().clear();
    Runtime runtime(2);
    const std::vector<Endpoint> only_v6{Endpoint(asio::ip::make_address("::1"), 9)};
    auto outcome = runtime.block_on(probe_server_address(only_v6, true, false, "abcdef0"));
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), "failed to connect to server");
    EXPECT_EQ(client_test::test_log().count("[abcdef0] trying to connect to"), 0);
}

TEST(ServerAddress, ProbeSkipsARefusingAddress)
{
    client_test::test_log().clear();
    auto server = client_test::start_server();
    const Endpoint refused(asio::ip::make_address("127.0.0.1"), client_test::closed_port());
    const Endpoint open(asio::ip::make_address("127.0.0.1"), server->tcp_port());
    Runtime runtime(2);
    auto outcome = runtime.block_on(probe_server_address({refused, open}, false, false, "abcdef0"));
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome.value(), open);
    EXPECT_EQ(client_test::test_log().count("[abcdef0] failed to connect to " + endpoint_text(refused) + ": "), 1);
}

TEST(CommandReach, RunnerThatEndsBeforeTakingAStepIsOpenedAgainAndSentItAlone)
{
    // Runner 1 is told to quit just before a downlink test goes out; the
    // server answers its quit late, so it ends after the test reached it,
    // without taking it. The phase opens it again and sends the test to it
    // alone: both connections measure, and runner 0 takes the test once.
    client_test::test_log().clear();
    auto server = client_test::start_server({.reply_delay = 300ms});
    const ClientConfig config = client_test::short_config(*server, 2);
    auto token = build_token(client_test::kSecret);
    ASSERT_TRUE(token);
    const std::vector<Endpoint> addresses(1, Endpoint(asio::ip::make_address("127.0.0.1"), server->tcp_port()));
    Runtime runtime(2);
    auto outcome = runtime.block_on([&]() -> asio::awaitable<OrError<ThroughputResult>> {
        auto opened = co_await MeasurementController::init(addresses, config, *token, AbortContext(make_stop_flag(), std::nullopt));
        if (!opened)
            co_return OrError<ThroughputResult>::failure(opened.error());
        MeasurementController& c = *opened.value();
        c.complete(std::nullopt, 1, Duration::from_millis(100));
        c.command_tx.send(RunnerMessage{2, command::Quit{1}});
        auto result = co_await run_downlink_test(config, c, c.log_id);
        co_await quit_runner(c);
        co_return result;
    }());
    ASSERT_TRUE(outcome) << outcome.error();
    ASSERT_TRUE(outcome.value().connection_stream_info);
    EXPECT_EQ(outcome.value().connection_stream_info->size(), 2U);
    EXPECT_EQ(client_test::test_log().count("runner 1 ended before taking the command, opening it again"), 1);
    const auto requests = server->stats().requests;
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "DownlinkTestRequest"), 2) << ::testing::PrintToString(requests);
}

// ---- pretest evaluation with scripted runners ------------------------------

// A runner that answers each pretest command with its acknowledgement and a
// set chunk count, and ends on Quit.
asio::awaitable<bool> scripted_pretest_runner(std::uint8_t id, std::uint32_t chunks,
                                              std::shared_ptr<CommandReceiver> commands,
                                              std::shared_ptr<FeedbackSender> feedback,
                                              std::shared_ptr<std::atomic<bool>> finished)
{
    for (;;) {
        auto got = co_await commands->recv();
        if (!got)
            break;
        const CommandMessage& m = *got;
        if (id >= m.runner_count || (m.only && *m.only != id))
            continue;
        if (std::holds_alternative<command::Quit>(m.command))
            break;
        if (std::holds_alternative<command::DownlinkPretest>(m.command)) {
            feedback->send(feedback::DownlinkPretestAck{id});
            feedback->send(feedback::DownlinkPretestCompleted{chunks, id});
        } else if (std::holds_alternative<command::UplinkPretest>(m.command)) {
            feedback->send(feedback::UplinkPretestAck{id});
            feedback->send(feedback::UplinkPretestCompleted{chunks, id});
        }
    }
    finished->store(true);
    co_return true;
}

// Both ends of a local socket pair: what a scripted runner's link points
// at, so that the controller sees an open connection and keeps the runner.
struct OpenLink {
    OpenLink()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            ours = SocketHandle(fds[0]);
            peer = fds[1];
        }
    }
    ~OpenLink()
    {
        if (peer >= 0)
            ::close(peer);
    }
    SocketHandle ours;
    int peer = -1;
};

TEST(PretestEvaluation, FewerThanFourChunksInAllReduceTheConnectionsToOne)
{
    struct Case {
        std::vector<std::uint32_t> chunks;  // per runner
        bool reduced;
    };
    const Case cases[] = {
        {{1, 2}, true},   // 3 chunks
        {{2, 2}, false},  // 4 chunks
        {{4}, false},
        {{0, 0}, true},
        {{3, 0, 1}, false},
    };
    for (const bool downlink : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::PrintToString(c.chunks) + (downlink ? " downlink" : " uplink"));
            client_test::test_log().clear();
            const auto n = static_cast<std::uint8_t>(c.chunks.size());
            ClientConfig config;
            config.dl_num_connections = config.ul_num_connections = n;
            config.dl_pretest_duration_ms = config.ul_pretest_duration_ms = Duration::from_millis(50);
            auto token = build_token(client_test::kSecret);
            ASSERT_TRUE(token);
            std::vector<std::unique_ptr<OpenLink>> links;
            Runtime runtime(2);
            auto outcome = runtime.block_on([&]() -> asio::awaitable<std::pair<std::optional<std::string>, int>> {
                MeasurementController controller(config, *token, AbortContext(make_stop_flag(), std::nullopt));
                controller.executor = co_await asio::this_coro::executor;
                controller.runner_count = n;
                controller.command_tx = make_command_channel(n);
                auto feedback = make_feedback_channel();
                controller.feedback_tx = std::move(feedback.sender);
                controller.feedback_rx = std::move(feedback.receiver);
                controller.complete(std::nullopt, 2, Duration::from_millis(100));
                for (std::uint8_t id = 0; id < n; ++id) {
                    links.push_back(std::make_unique<OpenLink>());
                    RunnerTaskHandle handle;
                    handle.finished = std::make_shared<std::atomic<bool>>(false);
                    handle.link = std::make_shared<RunnerLink>();
                    handle.link->set_socket(links.back()->ours.cut());
                    handle.task = spawn_task(controller.executor,
                                             scripted_pretest_runner(id, c.chunks[id], subscribe_runner(controller.command_tx),
                                                                     std::make_shared<FeedbackSender>(*controller.feedback_tx),
                                                                     handle.finished));
                    controller.runner_handles.push_back(std::move(handle));
                }
                auto failure = downlink ? co_await run_downlink_pretest(controller, config)
                                        : co_await run_uplink_pretest(controller, config);
                const int connections = downlink ? controller.dl_connections : controller.ul_connections;
                co_await quit_runner(controller);
                co_return std::pair{failure, connections};
            }());
            ASSERT_FALSE(outcome.first) << *outcome.first;
            EXPECT_EQ(outcome.second, c.reduced ? 1 : n);
            const std::string reduced =
                downlink ? "downlink pretest reduced the number of connections to 1" : "uplink pretest reduced the number of connections to 1";
            EXPECT_EQ(client_test::test_log().count(reduced), c.reduced ? 1 : 0);
        }
    }
}

TEST(FeedbackText, NamesTheVariantAndItsData)
{
    EXPECT_EQ(feedback_debug_text(feedback::DownlinkPretestAck{}), "DownlinkPretestAck");
    EXPECT_EQ(feedback_debug_text(feedback::DownlinkPretestCompleted{3U}), "DownlinkPretestCompleted(Ok(3))");
    EXPECT_EQ(feedback_debug_text(feedback::RttTcpPong{unexpected(std::string("read timed out"))}),
              "RttTcpPong(Err(\"read timed out\"))");
    EXPECT_EQ(feedback_debug_text(feedback::RttTcpPingProgress{7}), "RttTcpPingProgress(7)");
    EXPECT_EQ(feedback_debug_text(feedback::DownlinkTestAck{2, std::nullopt}), "DownlinkTestAck(2, None)");
}

TEST(Conversions, BitsPerSecondSaturateAndTruncate)
{
    EXPECT_EQ(bps_to_u64(1234.99), 1234U);
    EXPECT_EQ(bps_to_u64(-5.0), 0U);
    EXPECT_EQ(bps_to_u64(std::nan("")), 0U);
    EXPECT_EQ(bps_to_u64(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(bps_to_u64(18446744073709551616.0), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(whole_seconds_text(Duration::from_millis(2500)), "2s");
    EXPECT_EQ(whole_seconds_text(Duration::from_millis(1500)), "1s");
}

TEST(RttTcpResult, KeepsPongOrderAndComputesStatistics)
{
    const auto ms = [](std::uint64_t v) { return Duration::from_millis(v); };
    const std::vector<RttSample> pongs{{ms(0), ms(10)}, {ms(20), ms(12)}, {ms(40), ms(11)}, {ms(60), ms(15)}};
    auto result = rtt_tcp_result(pongs, 20, PhaseTiming{ms(5), ms(100)}, {});
    ASSERT_TRUE(result);
    const auto& r = result.value();
    EXPECT_EQ(r.num_requested, 20U);
    EXPECT_EQ(r.num_sent, 4U);
    EXPECT_EQ(r.rtts, pongs);
    EXPECT_EQ(r.rtt.min, ms(10));
    EXPECT_EQ(r.rtt.max, ms(15));
    EXPECT_EQ(r.jitter, duration_stats({ms(2), ms(4)}));  // the fall from 12 to 11 gives nothing
    EXPECT_FALSE(r.connection_stream_info);

    auto empty = rtt_tcp_result({}, 20, PhaseTiming{}, {ConnectionStreamInfo{}});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty.value().num_sent, 0U);
    EXPECT_EQ(empty.value().rtt, DurationStats{});
    EXPECT_EQ(to_string(empty.value().rtt), "min/max/avg/med/std_dev/var = -/-/-/-/-/-");
    ASSERT_TRUE(empty.value().connection_stream_info);
    EXPECT_EQ(empty.value().connection_stream_info->size(), 1U);
}

TEST(ThroughputResult, CountsTheWindowAfterTheSlowStart)
{
    const auto ms = [](std::uint64_t v) { return Duration::from_millis(v); };
    PhaseSamples samples;
    samples[0] = {{ms(500), 500}, {ms(1000), 1000}, {ms(2000), 2000}};
    samples[1] = {{ms(1000), 2000}, {ms(1900), 3800}};
    double bps = -1;
    auto r = throughput_result(samples, ms(1000), ms(250), PhaseTiming{ms(7), ms(3000)}, {}, &bps);
    // The window ends at 1.9 s (the earlier last sample); runner 0's bytes
    // there are interpolated: 1900 - 1000 + 3800 - 2000.
    EXPECT_EQ(r.timing.duration, ms(900));
    EXPECT_EQ(r.timing.relative_start, ms(7));
    EXPECT_EQ(r.bytes, 2700U);
    EXPECT_EQ(r.bps, 24000U);
    EXPECT_DOUBLE_EQ(bps, 24000.0);
    ASSERT_TRUE(r.raw_data);
    EXPECT_EQ(r.raw_data->size(), 2U);

    auto none = throughput_result({}, ms(1000), ms(250), PhaseTiming{}, {});
    EXPECT_EQ(none.bytes, 0U);
    EXPECT_EQ(none.bps, 0U);
    EXPECT_EQ(none.timing.duration, Duration::zero());
    EXPECT_FALSE(none.raw_data);

    // A connection that stopped within the slow start: an empty window.
    PhaseSamples short_one;
    short_one[0] = {{ms(200), 100}};
    auto empty = throughput_result(short_one, ms(1000), ms(250), PhaseTiming{}, {});
    EXPECT_EQ(empty.bytes, 0U);
    EXPECT_EQ(empty.bps, 0U);
}

TEST(ProgressRecords, PercentagesFollowThePhaseIndex)
{
    const auto first = progress_record(Phase::RttUdp, 2, 6, 0.0F);
    EXPECT_EQ(first.phase, Phase::RttUdp);
    EXPECT_FLOAT_EQ(first.phase_progress, 0.0F);
    EXPECT_FLOAT_EQ(first.total_progress, 2.0F / 6.0F * 100.0F);
    const auto half = progress_record(Phase::Downlink, 3, 6, 0.5F);
    EXPECT_FLOAT_EQ(half.phase_progress, 50.0F);
    EXPECT_FLOAT_EQ(half.total_progress, 3.5F / 6.0F * 100.0F);
    const auto mapped = to_mclient_progress(ProgressRecord{Phase::RttTcp, 100.0F, 50.0F, 42U, std::nullopt, std::nullopt, 1.5});
    EXPECT_EQ(mapped.phase, 2U);
    EXPECT_EQ(mapped.rtt_ns, 42U);
    EXPECT_EQ(mapped.reserved, 0U);
    EXPECT_EQ(mapped.download_bps, 0.0);
    EXPECT_EQ(mapped.upload_bps, 1.5);
}

struct Delivered {
    std::mutex mutex;
    std::vector<mclient_progress> records;
};
Delivered& delivered()
{
    static Delivered d;
    return d;
}
void keep(const mclient_progress* p)
{
    std::lock_guard lock(delivered().mutex);
    delivered().records.push_back(*p);
}
std::vector<mclient_progress> take_delivered()
{
    std::lock_guard lock(delivered().mutex);
    return std::exchange(delivered().records, {});
}

TEST(ProgressForwarder, DeliversInOrderUntilTheChannelCloses)
{
    take_delivered();
    Runtime runtime(2);
    auto done = std::make_shared<ForwarderDone>();
    {
        auto [tx, rx] = make_unbounded_channel<ProgressRecord>();
        for (int i = 0; i < 50; ++i)
            tx.send(progress_record(Phase::Downlink, 0, 1, static_cast<float>(i) / 50.0F));
        asio::co_spawn(runtime.executor(),
                       forward_progress(std::move(rx), keep, AbortContext(make_stop_flag(), std::nullopt), done),
                       asio::detached);
    }
    ASSERT_TRUE(done->wait_for(5s));
    const auto records = take_delivered();
    ASSERT_EQ(records.size(), 50U);
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_LT(records[i - 1].phase_progress, records[i].phase_progress);
}

TEST(ProgressForwarder, StopsAfterOneMoreRecordOnceAborted)
{
    take_delivered();
    Runtime runtime(2);
    auto done = std::make_shared<ForwarderDone>();
    auto stop = make_stop_flag();
    auto [tx, rx] = make_unbounded_channel<ProgressRecord>();
    for (int i = 0; i < 10; ++i)
        tx.send(progress_record(Phase::Downlink, 0, 1, 0.1F));
    stop->store(true);
    asio::co_spawn(runtime.executor(), forward_progress(std::move(rx), keep, AbortContext(stop, std::nullopt), done),
                   asio::detached);
    ASSERT_TRUE(done->wait_for(5s));
    EXPECT_EQ(take_delivered().size(), 1U);
    EXPECT_FALSE(tx.send(progress_record(Phase::Downlink, 0, 1, 0.2F)));  // the receiving end is closed
}

std::vector<ProgressRecord> drain(ProgressReceiver& rx)
{
    std::vector<ProgressRecord> out;
    while (auto got = rx.try_recv())
        out.push_back(*got);
    return out;
}

TEST(PretestTicker, ReportsElapsedShareBasedOnTheStartIndex)
{
    Runtime runtime(2);
    auto [tx, rx] = make_unbounded_channel<ProgressRecord>();
    const auto start = std::chrono::steady_clock::now();
    auto ticker = ProgressTicker::start(runtime.executor(), Phase::DownlinkPretest,
                                        TickerParams{start, Duration::from_millis(500), Duration::from_millis(100), tx, 2, 6});
    std::this_thread::sleep_for(700ms);
    runtime.block_on([&]() -> asio::awaitable<void> { co_await ticker.abort_and_wait(); }());
    const auto records = drain(rx);
    // Ticks at 0, 100, ..., 400 ms; a busy machine may hold some back.
    ASSERT_GE(records.size(), 2U);
    ASSERT_LE(records.size(), 6U);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].phase, Phase::DownlinkPretest);
        EXPECT_LT(records[i].phase_progress, 100.0F);
        EXPECT_NEAR(records[i].total_progress, (2.0F + records[i].phase_progress / 100.0F) / 6.0F * 100.0F, 1e-3);
        if (i > 0) {
            EXPECT_GT(records[i].phase_progress, records[i - 1].phase_progress);
        }
    }
    // The first record goes out at once, not after the first period.
    EXPECT_LT(records.front().phase_progress, 20.0F);
}

TEST(PretestTicker, PeriodLongerThanThePretestGivesOneRecord)
{
    Runtime runtime(2);
    auto [tx, rx] = make_unbounded_channel<ProgressRecord>();
    auto ticker = ProgressTicker::start(runtime.executor(), Phase::UplinkPretest,
                                        TickerParams{std::chrono::steady_clock::now(), Duration::from_millis(200),
                                                     Duration::from_secs(5), tx, 0, 2});
    std::this_thread::sleep_for(300ms);
    // Stopping wakes the sleeping ticker; nothing follows.
    runtime.block_on([&]() -> asio::awaitable<void> { co_await ticker.abort_and_wait(); }());
    const auto records = drain(rx);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].phase, Phase::UplinkPretest);
}

TEST(PretestTicker, SendsNothingOnceAborted)
{
    Runtime runtime(2);
    auto [tx, rx] = make_unbounded_channel<ProgressRecord>();
    auto ticker = ProgressTicker::start(runtime.executor(), Phase::DownlinkPretest,
                                        TickerParams{std::chrono::steady_clock::now(), Duration::from_secs(10),
                                                     Duration::zero(), tx, 0, 1});
    std::this_thread::sleep_for(50ms);
    ticker.abort();
    const auto before = drain(rx).size();
    EXPECT_GE(before, 1U);
    EXPECT_LE(before, 10U);  // a zero interval still leaves time between records
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(drain(rx).empty());
}

} // namespace

// The runner's routines, driven through the runner loop against the test
// measurement server: main paths, time-outs and the server's error statuses.

#include "RunnerTestSupport.h"

#include <algorithm>

using namespace runner_test;

namespace {

using RoutinesTest = RunnerFixture;

constexpr std::uint32_t kChunk = 4096;

bool ascending(const SampleSeries& s)
{
    return std::adjacent_find(s.begin(), s.end(), [](const auto& a, const auto& b) {
               return !(a.time < b.time) || b.bytes < a.bytes;
           }) == s.end();
}

SampleSeries points_of(const SampleSeries& s) { return s; }
SampleSeries points_of(const SampleUpdate& u) { return u.points.to_vector(); }

// The points that progress feedback of kind P carried, in order.
template <class P>
SampleSeries progress_points(const std::vector<RunnerFeedback>& seen, int* messages = nullptr)
{
    SampleSeries all;
    int n = 0;
    for (const auto& fb : seen)
        if (const auto* p = std::get_if<P>(&fb)) {
            ++n;
            const SampleSeries points = points_of(p->samples);
            all.insert(all.end(), points.begin(), points.end());
        }
    if (messages)
        *messages = n;
    return all;
}

// The downlink history that the progress reports and the completion hand on
// in pieces, put together.
SampleSeries downlink_history(const std::vector<RunnerFeedback>& seen)
{
    SampleSeries all;
    for (const auto& fb : seen) {
        if (const auto* p = std::get_if<feedback::DownlinkTestProgress>(&fb))
            apply_update(all, p->samples);
        if (const auto* done = std::get_if<feedback::DownlinkTestCompleted>(&fb); done && done->samples)
            apply_update(all, *done->samples);
    }
    return all;
}

bool is_power_of_two(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

TEST_F(RoutinesTest, PretestsReportTheirLastCompleteBurst)
{
    serve();
    auto handle = start(connect(0));
    struct Case {
        RunnerCommand command;
        bool downlink;
        bool zero;
    };
    const std::vector<Case> cases = {
        {command::DownlinkPretest{Duration::zero()}, true, true},
        {command::DownlinkPretest{Duration::from_millis(300)}, true, false},
        {command::UplinkPretest{Duration::zero()}, false, true},
        {command::UplinkPretest{Duration::from_millis(300)}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_string(c.command));
        send(1, c.command);
        auto ack = next();
        ASSERT_TRUE(ack);
        EXPECT_STREQ(feedback_name(*ack), c.downlink ? "DownlinkPretestAck" : "UplinkPretestAck");
        auto done = next();
        ASSERT_TRUE(done);
        const auto& chunks = c.downlink ? std::get<feedback::DownlinkPretestCompleted>(*done).chunks
                                        : std::get<feedback::UplinkPretestCompleted>(*done).chunks;
        ASSERT_TRUE(chunks) << chunks.error();
        if (c.zero)
            EXPECT_EQ(*chunks, 0u);
        else
            EXPECT_TRUE(is_power_of_two(*chunks) && *chunks >= 2) << *chunks;
    }
    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
    const auto requests = server_requests();
    EXPECT_EQ(requests.front(), "DownlinkPretestRequest") << "a zero pretest sends no request";
    EXPECT_EQ(server_->stats().uplink_bytes % kChunk, 0u) << "every uplink chunk is exactly one chunk size long";
}

TEST_F(RoutinesTest, DownlinkTestReportsEveryPointOnceAndTheRestAtTheEnd)
{
    test_log().clear();
    serve();
    auto handle = start(connect(3, Duration::from_millis(100)));
    send(4, command::DownlinkTest{Duration::from_secs(1)});
    auto seen = until<feedback::DownlinkTestCompleted>();
    ASSERT_GE(seen.size(), 3u);
    const auto& ack = std::get<feedback::DownlinkTestAck>(seen.front());
    EXPECT_EQ(ack.runner, 3);
    ASSERT_TRUE(ack.stream_info && ack.stream_info->client && ack.stream_info->server);
    EXPECT_EQ(ack.stream_info->client->remote_port, server_->tcp_port());

    const auto& done = last_as<feedback::DownlinkTestCompleted>(seen);
    EXPECT_EQ(done.runner, 3);
    ASSERT_TRUE(done.samples) << done.samples.error();
    // The last chunk is reported at once: nothing is left for the completion.
    EXPECT_EQ(*done.samples, SampleUpdate{});
    const SampleSeries all = downlink_history(seen);
    ASSERT_GT(all.size(), 10u);
    EXPECT_TRUE(ascending(all));
    EXPECT_EQ(all.front().bytes, kChunk);
    EXPECT_EQ(all.back().bytes, all.size() * std::uint64_t(kChunk));
    EXPECT_GT(all.back().time, Duration::from_millis(900));
    EXPECT_LT(all.back().time, Duration::from_millis(2500));

    int messages = 0;
    const auto reported = progress_points<feedback::DownlinkTestProgress>(seen, &messages);
    EXPECT_GE(messages, 5) << "about one report per 100 ms";
    EXPECT_LE(messages, 25);
    EXPECT_EQ(reported, SampleSeries(all.begin() + 1, all.end())) << "every point but the first, once, in order";
    // The reports went through the progress task, which ended before the
    // completion was sent.
    EXPECT_EQ(test_log().count("downlink_test: channel disconnected, terminating progress receiver task"), 1);

    send(4, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
}

TEST_F(RoutinesTest, DownlinkTestWithoutLastMarkerEndsAtTheDeadlineAndClosesTheConnection)
{
    serve({.omit_last_marker = true});
    RoutineLimits limits;
    limits.test_grace = Duration::from_millis(200);
    auto handle = start(connect(0), limits);
    const auto begin = std::chrono::steady_clock::now();
    send(1, command::DownlinkTest{Duration::from_secs(1)});
    auto seen = until<feedback::DownlinkTestCompleted>();
    const auto& done = last_as<feedback::DownlinkTestCompleted>(seen);
    ASSERT_TRUE(done.samples) << done.samples.error();
    // Samples run up to the deadline of 1.2 s (no read waits past it).
    const SampleSeries all = downlink_history(seen);
    ASSERT_FALSE(all.empty());
    EXPECT_TRUE(ascending(all));
    EXPECT_GE(all.back().time, Duration::from_millis(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    EXPECT_EQ(finish(handle, 2s), "connection has been closed, runner needs to be restarted");
}

TEST_F(RoutinesTest, UplinkTestReportsTheServersNotifications)
{
    auto& server = serve();
    auto handle = start(connect(1, Duration::from_millis(100)));
    send(2, command::UplinkTest{Duration::from_secs(1)});
    auto seen = until<feedback::UplinkTestCompleted>();
    const auto& ack = std::get<feedback::UplinkTestAck>(seen.front());
    EXPECT_EQ(ack.runner, 1);
    EXPECT_TRUE(ack.stream_info);
    const auto& done = last_as<feedback::UplinkTestCompleted>(seen);
    ASSERT_TRUE(done.samples) << done.samples.error();
    const SampleSeries& all = *done.samples;
    ASSERT_GE(all.size(), 5u);
    EXPECT_TRUE(ascending(all));
    EXPECT_EQ(all.back().bytes, server.stats().uplink_bytes) << "the last notification counts every byte sent";
    EXPECT_GT(all.back().time, Duration::from_millis(900));
    EXPECT_EQ(progress_points<feedback::UplinkTestProgress>(seen), SampleSeries(all.begin() + 1, all.end()));
    send(2, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
    EXPECT_EQ(server_requests(), (std::vector<std::string>{"UplinkTestRequest", "QuitRequest"}));
}

TEST_F(RoutinesTest, TransfersAndPingsOverEveryConnectionKind)
{
    // Reading and writing at once (uplink, pings) must work on each framing.
    serve();
    for (const auto& [tls, websocket] : {std::pair{false, true}, std::pair{true, false}, std::pair{true, true}}) {
        SCOPED_TRACE(std::string(tls ? "tls " : "tcp ") + (websocket ? "websocket" : "stream"));
        auto handle = start(connect(0, Duration::from_millis(100), tls, websocket));
        send(1, command::DownlinkTest{Duration::from_millis(300)});
        auto down_seen = until<feedback::DownlinkTestCompleted>();
        const auto& down = last_as<feedback::DownlinkTestCompleted>(down_seen).samples;
        ASSERT_TRUE(down) << down.error();
        send(1, command::UplinkTest{Duration::from_millis(300)});
        auto up_seen = until<feedback::UplinkTestCompleted>();
        const auto& up = last_as<feedback::UplinkTestCompleted>(up_seen).samples;
        ASSERT_TRUE(up) << up.error();
        EXPECT_FALSE(up->empty());
        send(1, command::RttTcpPing{{0, 10, Duration::from_millis(2), Duration::from_secs(5), 5}});
        auto ping_seen = until<feedback::RttTcpPong>();
        const auto& pongs = last_as<feedback::RttTcpPong>(ping_seen).pongs;
        ASSERT_TRUE(pongs) << pongs.error();
        EXPECT_EQ(pongs->size(), 10u);
        send(1, command::Quit{});
        EXPECT_EQ(finish(handle), std::nullopt);
    }
}

TEST_F(RoutinesTest, UplinkTestWithoutCompletedNotification)
{
    // The server's notifications stop after the last chunk without
    // "completed": a read time-out after the deadline keeps the samples, one
    // before it fails the test.
    struct Case {
        Duration grace;
        std::chrono::milliseconds read_limit;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases = {
        {Duration::from_millis(100), 600ms, std::nullopt},
        {Duration::from_secs(3), 400ms, "timed out while reading data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure.value_or("samples"));
        serve({.skip_completed_notification = true});
        RoutineLimits limits;
        limits.test_grace = c.grace;
        limits.data = c.read_limit;
        auto handle = start(connect(0), limits);
        send(1, command::UplinkTest{Duration::from_millis(600)});
        auto seen = until<feedback::UplinkTestCompleted>();
        const auto& done = last_as<feedback::UplinkTestCompleted>(seen);
        if (c.failure) {
            ASSERT_FALSE(done.samples);
            EXPECT_EQ(done.samples.error(), *c.failure);
            // Given up in the middle of the notifications: the connection
            // is closed, the runner ends on its own.
            EXPECT_EQ(finish(handle), "connection has been closed, runner needs to be restarted");
        } else {
            ASSERT_TRUE(done.samples) << done.samples.error();
            EXPECT_FALSE(done.samples->empty());
            send(1, command::Quit{});
            EXPECT_EQ(finish(handle), std::nullopt);
        }
    }
}

TEST_F(RoutinesTest, RttTcpPingMatchesPongsToPingsInOrder)
{
    serve();
    auto handle = start(connect(0, Duration::from_millis(50)));
    for (std::uint32_t size : {1u, 2u, 5u, 300u}) {
        SCOPED_TRACE(size);
        send(1, command::RttTcpPing{{0, 20, Duration::from_millis(10), Duration::from_secs(10), size}});
        auto seen = until<feedback::RttTcpPong>();
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::holds_alternative<feedback::RttTcpPingAck>(seen.front()));
        std::vector<std::uint32_t> progress;
        for (const auto& fb : seen)
            if (const auto* p = std::get_if<feedback::RttTcpPingProgress>(&fb))
                progress.push_back(p->pings_sent);
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), 20u) << "the last ping always reports";
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
        const auto& pongs = last_as<feedback::RttTcpPong>(seen).pongs;
        ASSERT_TRUE(pongs) << pongs.error();
        ASSERT_EQ(pongs->size(), 20u);
        for (std::size_t k = 0; k < pongs->size(); ++k) {
            EXPECT_GE((*pongs)[k].time, Duration::from_millis(10 * k));
            EXPECT_LT((*pongs)[k].rtt, Duration::from_millis(200));
        }
    }
    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
}

TEST_F(RoutinesTest, RttTcpPingStopsAfterTheTimebox)
{
    serve();
    auto handle = start(connect(0));
    send(1, command::RttTcpPing{{0, 1000, Duration::from_millis(20), Duration::from_millis(100), 5}});
    auto seen = until<feedback::RttTcpPong>();
    const auto& pongs = last_as<feedback::RttTcpPong>(seen).pongs;
    ASSERT_TRUE(pongs) << pongs.error();
    EXPECT_GE(pongs->size(), 4u);
    EXPECT_LE(pongs->size(), 8u);
    // The connection is in step again: the next exchange works.
    send(1, command::ServerLoadRequest{});
    auto load = next();
    ASSERT_TRUE(load && std::holds_alternative<feedback::ServerLoad>(*load));
    EXPECT_TRUE(std::get<feedback::ServerLoad>(*load).load);
    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
}

TEST_F(RoutinesTest, OneBytePingsAreTheMarkerAlone)
{
    // A 1-byte ping has an empty data part: the chunk paths of both framings
    // send and receive an empty payload (and its marker) without touching it.
    serve();
    for (const auto& [tls, websocket] :
         {std::pair{false, false}, std::pair{false, true}, std::pair{true, false}, std::pair{true, true}}) {
        SCOPED_TRACE(std::string(tls ? "tls " : "tcp ") + (websocket ? "websocket" : "stream"));
        auto handle = start(connect(0, Duration::from_millis(100), tls, websocket));
        send(1, command::RttTcpPing{{0, 4, Duration::from_millis(1), Duration::from_secs(5), 1}});
        auto seen = until<feedback::RttTcpPong>();
        const auto& pongs = last_as<feedback::RttTcpPong>(seen).pongs;
        ASSERT_TRUE(pongs) << pongs.error();
        EXPECT_EQ(pongs->size(), 4u);
        send(1, command::Quit{});
        EXPECT_EQ(finish(handle), std::nullopt);
    }
}

TEST_F(RoutinesTest, RttTcpPingRefusesSizesItCannotSend)
{
    serve();
    auto handle = start(connect(0));
    const std::vector<std::pair<std::uint32_t, std::string>> cases = {
        {0, "payload size must be at least one byte large"},
        {8 * kChunk + 2, "payload size exceeds preallocated buffer length"},
    };
    for (const auto& [size, text] : cases) {
        send(1, command::RttTcpPing{{0, 5, Duration::from_millis(1), Duration::from_secs(1), size}});
        auto seen = until<feedback::RttTcpPong>();
        const auto& pongs = last_as<feedback::RttTcpPong>(seen).pongs;
        ASSERT_FALSE(pongs);
        EXPECT_EQ(pongs.error(), text);
    }
    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
    EXPECT_EQ(server_requests(), std::vector<std::string>{"QuitRequest"});
}

// The failure text of the completing feedback (empty when it succeeded).
std::optional<std::string> failure_of(const RunnerFeedback& fb)
{
    return std::visit(
        [](const auto& f) -> std::optional<std::string> {
            using F = std::decay_t<decltype(f)>;
            auto text = [](const auto& outcome) -> std::optional<std::string> {
                if (outcome)
                    return std::nullopt;
                return outcome.error();
            };
            if constexpr (std::is_same_v<F, feedback::DownlinkPretestCompleted> ||
                          std::is_same_v<F, feedback::UplinkPretestCompleted>)
                return text(f.chunks);
            else if constexpr (std::is_same_v<F, feedback::DownlinkTestCompleted> ||
                               std::is_same_v<F, feedback::UplinkTestCompleted>)
                return text(f.samples);
            else if constexpr (std::is_same_v<F, feedback::RttTcpPong>)
                return text(f.pongs);
            else if constexpr (std::is_same_v<F, feedback::ServerLoad>)
                return text(f.load);
            else if constexpr (std::is_same_v<F, feedback::ReverseTraceroute>)
                return text(f.output);
            else
                return std::string("<not a completion>");
        },
        fb);
}

bool is_completion(const RunnerFeedback& fb)
{
    return std::holds_alternative<feedback::DownlinkPretestCompleted>(fb) ||
           std::holds_alternative<feedback::DownlinkTestCompleted>(fb) ||
           std::holds_alternative<feedback::UplinkPretestCompleted>(fb) ||
           std::holds_alternative<feedback::UplinkTestCompleted>(fb) || std::holds_alternative<feedback::RttTcpPong>(fb) ||
           std::holds_alternative<feedback::ServerLoad>(fb) || std::holds_alternative<feedback::ReverseTraceroute>(fb);
}


TEST_F(RoutinesTest, ServerErrorStatusesBecomeTheCompletionsText)
{
    // Every request answered with a refusal; the runner goes on after each.
    std::map<int, speed_server::ErrorReply> errors;
    for (int field : {5, 6, 7, 8, 10, 15, 17})
        errors[field] = {2, "refused " + std::to_string(field)};
    errors[15] = {1, ""};  // an Ok where the load was expected
    serve({.error_replies = errors});
    auto handle = start(connect(0));
    const std::vector<std::pair<RunnerCommand, std::string>> cases = {
        {command::DownlinkPretest{Duration::from_secs(1)}, "refused 5"},
        {command::DownlinkTest{Duration::from_secs(1)}, "refused 6"},
        {command::UplinkPretest{Duration::from_secs(1)}, "refused 7"},
        {command::UplinkTest{Duration::from_secs(1)}, "refused 8"},
        {command::RttTcpPing{{0, 5, Duration::from_millis(1), Duration::from_secs(1), 5}}, "refused 10"},
        {command::ServerLoadRequest{}, "unexpected response"},
        {command::ReverseTracerouteRequest{Duration::from_secs(1)}, "refused 17"},
    };
    for (const auto& [cmd, text] : cases) {
        SCOPED_TRACE(to_string(cmd));
        send(1, cmd);
        std::optional<RunnerFeedback> fb;
        while ((fb = next()) && !is_completion(*fb)) {
        }
        ASSERT_TRUE(fb);
        EXPECT_EQ(failure_of(*fb), text);
    }
    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
}

TEST_F(RoutinesTest, TimeOutsOfRequestsAndChunkReads)
{
    struct Case {
        speed_server::Options server;
        RunnerCommand command;
        std::string text;
    };
    std::vector<Case> cases;
    cases.push_back({{.reply_delay = 600ms}, command::ServerLoadRequest{}, "protobuf communication timed out"});
    cases.push_back({{.reply_delay = 600ms}, command::ReverseTracerouteRequest{Duration::from_millis(100)},
                     "protobuf communication timed out"});
    cases.push_back({{.reply_delay = 600ms}, command::DownlinkPretest{Duration::from_secs(1)}, "protobuf communication timed out"});
    cases.push_back({{.trickle_bytes = 16, .trickle_pause = 50ms}, command::DownlinkTest{Duration::from_secs(1)}, "read timed out"});
    cases.push_back({{.trickle_bytes = 16, .trickle_pause = 50ms}, command::DownlinkPretest{Duration::from_secs(1)}, "read timed out"});
    for (auto& c : cases) {
        SCOPED_TRACE(to_string(c.command));
        serve(c.server);
        RoutineLimits limits;
        limits.request = 300ms;
        limits.server_load = 300ms;
        limits.traceroute_extra = 200ms;
        limits.data = 300ms;
        auto handle = start(connect(0), limits);
        const auto begin = std::chrono::steady_clock::now();
        send(1, c.command);
        std::optional<RunnerFeedback> fb;
        while ((fb = next(3s)) && !is_completion(*fb)) {
        }
        ASSERT_TRUE(fb);
        EXPECT_EQ(failure_of(*fb), c.text);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
        // The late reply or the chunks still flowing would answer the next
        // step: the connection is closed, and the runner ends on its own.
        EXPECT_EQ(finish(handle), "connection has been closed, runner needs to be restarted");
    }
}

TEST_F(RoutinesTest, AbortInsideATransferShutsTheConnectionDown)
{
    serve();
    auto handle = start(connect(0, Duration::from_millis(50)));
    send(1, command::DownlinkTest{Duration::from_secs(5)});
    auto progress = until<feedback::DownlinkTestProgress>();
    stop_->store(true);
    auto seen = until<feedback::DownlinkTestCompleted>(3s);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(failure_of(seen.back()), "aborted on timeout or user request");
    EXPECT_EQ(finish(handle, 2s), "aborted on timeout or user request");
}

TEST_F(RoutinesTest, AbortDuringTheUplinkTestEndsItPromptly)
{
    serve();
    auto handle = start(connect(0, Duration::from_millis(50)));
    send(1, command::UplinkTest{Duration::from_secs(5)});
    until<feedback::UplinkTestProgress>();
    const auto begin = std::chrono::steady_clock::now();
    stop_->store(true);
    auto seen = until<feedback::UplinkTestCompleted>(3s);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(failure_of(seen.back()), "aborted on timeout or user request");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_EQ(finish(handle, 2s), "aborted on timeout or user request");
}

} // namespace

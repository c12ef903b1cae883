// The run's asynchronous channels and joinable tasks, on a real runtime.

#include "AsyncTask.h"
#include "Channels.h"
#include "RunnerCommands.h"
#include "RunnerTestSupport.h"
#include "Runtime.h"

#include <boost/asio/steady_timer.hpp>

#include <boost/asio/detached.hpp>

#include <gtest/gtest.h>

#include <thread>

using namespace runner_test;

namespace {

constexpr int round_value = 7;

template <class T>
std::vector<std::string> drain(BroadcastReceiver<T>& rx)
{
    // try_recv until Empty or Closed; values and errors as texts.
    std::vector<std::string> out;
    for (;;) {
        auto got = rx.try_recv();
        if (got) {
            out.push_back(std::to_string(*got));
            continue;
        }
        if (got.error().kind == RecvError::Kind::Lagged) {
            out.push_back(got.error().text());
            continue;
        }
        out.push_back(got.error().text());
        return out;
    }
}

TEST(BroadcastChannel, EveryReceiverSeesEveryLaterMessageInOrder)
{
    BroadcastSender<int> tx(8);
    auto early = tx.subscribe();
    EXPECT_EQ(tx.send(1), 1u);
    auto late = tx.subscribe();
    EXPECT_EQ(tx.send(2), 2u);
    EXPECT_EQ(tx.send(3), 2u);
    EXPECT_EQ(drain(early), (std::vector<std::string>{"1", "2", "3", "channel empty"}));
    EXPECT_EQ(drain(late), (std::vector<std::string>{"2", "3", "channel empty"}));
}

TEST(BroadcastChannel, LaggingReceiverLearnsHowManyItMissedThenGoesOn)
{
    BroadcastSender<int> tx(2);
    auto rx = tx.subscribe();
    for (int i = 0; i < 5; ++i)
        tx.send(i);
    EXPECT_EQ(drain(rx), (std::vector<std::string>{"channel lagged by 3", "3", "4", "channel empty"}));
}

TEST(BroadcastChannel, ClosesForEachReceiverOnlyAfterItsMessages)
{
    std::optional<BroadcastSender<int>> tx(std::in_place, 4);
    auto rx = tx->subscribe();
    tx->send(7);
    auto copy = *tx;
    tx.reset();
    EXPECT_EQ(drain(rx), (std::vector<std::string>{"7", "channel empty"}));  // a copy still sends
    copy.send(8);
    { auto gone = std::move(copy); }
    EXPECT_EQ(drain(rx), (std::vector<std::string>{"8", "channel closed"}));
}

TEST(BroadcastChannel, SendWithoutReceiversDropsTheMessage)
{
    BroadcastSender<int> tx(4);
    EXPECT_EQ(tx.send(1), 0u);
    auto rx = tx.subscribe();
    EXPECT_EQ(drain(rx), (std::vector<std::string>{"channel empty"}));
    { auto other = tx.subscribe(); EXPECT_EQ(tx.receiver_count(), 2u); }
    EXPECT_EQ(tx.receiver_count(), 1u);
}

TEST(BroadcastChannel, WaitingReceiversWakeOnSendAndOnClose)
{
    Runtime runtime(4);
    std::optional<BroadcastSender<int>> tx(std::in_place, 4);
    auto a = tx->subscribe();
    auto b = tx->subscribe();
    auto wait_two = [](BroadcastReceiver<int>& rx) -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> got;
        for (int i = 0; i < 2; ++i) {
            auto m = co_await rx.recv();
            got.push_back(m ? std::to_string(*m) : m.error().text());
        }
        co_return got;
    };
    auto ha = spawn_task(runtime.executor(), wait_two(a));
    auto hb = spawn_task(runtime.executor(), wait_two(b));
    std::this_thread::sleep_for(50ms);  // both are waiting now
    tx->send(42);
    tx.reset();
    auto ra = runtime.block_on(within(ha.join(), 5s));
    auto rb = runtime.block_on(within(hb.join(), 5s));
    ASSERT_TRUE(ra && *ra && rb && *rb);
    EXPECT_EQ(**ra, (std::vector<std::string>{"42", "channel closed"}));
    EXPECT_EQ(**rb, (std::vector<std::string>{"42", "channel closed"}));
}

TEST(UnboundedChannel, KeepsEachProducersOrderAcrossThreads)
{
    Runtime runtime(4);
    auto [tx, rx] = make_unbounded_channel<std::pair<int, int>>();
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    auto consumer = spawn_task(runtime.executor(), [](UnboundedReceiver<std::pair<int, int>> r) -> asio::awaitable<std::vector<int>> {
        std::vector<int> next(kProducers, 0);
        int out_of_order = 0;
        for (;;) {
            auto m = co_await r.recv();
            if (!m)
                break;
            out_of_order += m->second != next[m->first];
            next[m->first] = m->second + 1;
        }
        next.push_back(out_of_order);
        co_return next;
    }(std::move(rx)));
    {
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p)
            producers.emplace_back([p, sender = tx] {
                for (int i = 0; i < kEach; ++i)
                    EXPECT_TRUE(sender.send({p, i}));
            });
        for (auto& t : producers)
            t.join();
        auto gone = std::move(tx);  // the last sender goes: the consumer ends
    }
    auto result = runtime.block_on(within(consumer.join(), 5s));
    ASSERT_TRUE(result && *result);
    EXPECT_EQ(**result, (std::vector<int>{kEach, kEach, kEach, kEach, 0}));
}

TEST(UnboundedChannel, SendFailsOnceTheReceiverIsGoneAndReceiveTimesOut)
{
    Runtime runtime(2);
    auto [tx, rx] = make_unbounded_channel<int>();
    auto timed = runtime.block_on(rx.recv_for(30ms));
    ASSERT_FALSE(timed);
    EXPECT_EQ(timed.error().text(), "timed out");
    EXPECT_TRUE(tx.send(1));
    EXPECT_FALSE(tx.is_closed());
    rx.close();
    EXPECT_TRUE(tx.is_closed());
    EXPECT_FALSE(tx.send(2));
    EXPECT_FALSE(UnboundedSender<int>().send(3));
}

// A wait that timed out must not cost a later one its wake-up: after a wait
// whose deadline passed (its wake-up wait cancelled), a notify that comes
// while nobody waits is kept for the next wait. (Boost 1.81's buffered
// channel, the wake-up primitive before, dropped such a wake-up after a
// cancelled receive; a receiver that had just found its queue empty then
// waited for feedback that had already arrived, without end.)
TEST(Waker, WakeUpAfterATimedOutWaitIsKept)
{
    Runtime runtime(2);
    detail::Waker waker;
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(runtime.block_on(waker.wait(std::chrono::steady_clock::now() + 5ms))) << "round " << round;
        waker.notify();
        EXPECT_TRUE(runtime.block_on(waker.wait(std::chrono::steady_clock::now() + 2s))) << "round " << round;
    }
}

// The controller's timed wait for feedback (recv_for) against a runner that
// sends just as the deadline passes, on another thread of the run's pool:
// the wait for whichever comes first then has both its operations complete
// at once on two threads. Before such waits ran on a strand, the loser's
// cancellation raced with its completion: a crash inside the cancellation
// signal (the occasional SIGSEGV of runs whose phases fail fast).
TEST(UnboundedChannel, TimedReceiveRacingASendFromAnotherThread)
{
    Runtime runtime(8);
    for (int round = 0; round < 3000; ++round) {
        auto [tx, rx] = make_unbounded_channel<int>();
        asio::co_spawn(
            runtime.executor(),
            [tx = tx]() -> asio::awaitable<void> {
                asio::steady_timer timer(co_await asio::this_coro::executor, 500us);
                co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
                tx.send(round_value);
            },
            asio::detached);
        auto got = runtime.block_on(rx.recv_for(500us));
        // Either outcome is right; which one is a matter of the moment.
        if (got) {
            EXPECT_EQ(*got, round_value);
        } else {
            EXPECT_EQ(got.error().kind, RecvError::Kind::TimedOut);
        }
    }
}

TEST(UnboundedChannel, QueuedMessagesOutliveTheSenders)
{
    Runtime runtime(2);
    auto [tx, rx] = make_unbounded_channel<std::string>();
    tx.send("a");
    tx.send("b");
    { auto gone = std::move(tx); }
    auto a = runtime.block_on(rx.recv());
    auto b = runtime.block_on(rx.recv());
    auto end = runtime.block_on(rx.recv());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a + *b, "ab");
    ASSERT_FALSE(end);
    EXPECT_EQ(end.error().text(), "channel closed");
}

TEST(JoinHandle, GivesTheValueOrNothingForAnAbnormalEnd)
{
    Runtime runtime(2);
    auto ok = spawn_task(runtime.executor(), []() -> asio::awaitable<std::string> {
        co_await sleep_for(10ms);
        co_return "done";
    }());
    auto thrown = spawn_task(runtime.executor(), []() -> asio::awaitable<int> {
        throw std::runtime_error("boom");
        co_return 1;
    }());
    EXPECT_EQ(runtime.block_on(ok.join()), std::optional<std::string>("done"));
    EXPECT_EQ(runtime.block_on(thrown.join()), std::nullopt);
}

TEST(RunnerCommandText, NamesKindAndPayload)
{
    RttTcpPingParams params{1, 10, Duration::from_millis(10), Duration::from_secs(10), 5};
    const std::vector<std::pair<RunnerCommand, std::string>> cases = {
        {command::DownlinkPretest{Duration::from_secs(2)}, "DownlinkPretest(2s)"},
        {command::UplinkTest{Duration::from_millis(1500)}, "UplinkTest(1.5s)"},
        {command::RttTcpPing{params},
         "RttTcpPing(RttTcpPingParams { runner_id: 1, num_pings: 10, ping_interval: 10ms, timebox: 10s, payload_size: 5 })"},
        {command::ServerLoadRequest{}, "ServerLoadRequest"},
        {command::ReverseTracerouteRequest{Duration::from_secs(15)}, "ReverseTracerouteRequest(15s)"},
        {command::Quit{}, "Quit(None)"},
        {command::Quit{3}, "Quit(Some(3))"},
    };
    for (const auto& [cmd, text] : cases)
        EXPECT_EQ(to_string(cmd), text);
    EXPECT_STREQ(feedback_name(feedback::RttTcpPong{std::vector<RttSample>{}}), "RttTcpPong");
}

TEST(SampleSeries, KeepsAscendingTimesLikeAMap)
{
    SampleSeries s;
    const auto ms = [](int v) { return Duration::from_millis(v); };
    insert_sample(s, ms(10), 1);
    insert_sample(s, ms(30), 3);
    insert_sample(s, ms(20), 2);   // out of order: inserted in place
    insert_sample(s, ms(30), 4);   // same time: replaced
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1], (SamplePoint{ms(20), 2}));
    EXPECT_EQ(s[2], (SamplePoint{ms(30), 4}));
    EXPECT_EQ(samples_after(s, ms(10)), (SampleSeries{{ms(20), 2}, {ms(30), 4}}));
    EXPECT_TRUE(samples_after(s, ms(30)).empty());
    const auto map = to_sample_map(s);
    EXPECT_EQ(map.size(), 3u);
    EXPECT_EQ(map.at(ms(30)), 4u);
}

} // namespace

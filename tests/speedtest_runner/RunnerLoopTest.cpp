// The runner loop against the test measurement server: addressing by runner
// count, quit, the ends of the loop and its feedback.

#include "RunnerTestSupport.h"

#include <algorithm>

using namespace runner_test;

namespace {

using RunnerLoopTest = RunnerFixture;

int count_of(const std::vector<std::string>& requests, const std::string& name)
{
    return static_cast<int>(std::count(requests.begin(), requests.end(), name));
}

TEST_F(RunnerLoopTest, ServerLoadAndTracerouteGiveOneFeedbackEachThenQuitEndsTheRunner)
{
    serve();
    auto handle = start(connect(0));
    send(1, command::ServerLoadRequest{});
    auto load = next();
    ASSERT_TRUE(load && std::holds_alternative<feedback::ServerLoad>(*load));
    const auto& data = std::get<feedback::ServerLoad>(*load).load;
    ASSERT_TRUE(data) << data.error();
    EXPECT_NE(data->stdout_vmstat.value_or("").find("procs"), std::string::npos);
    EXPECT_NE(data->stdout_free.value_or("").find("Mem:"), std::string::npos);

    send(1, command::ReverseTracerouteRequest{Duration::from_secs(15)});
    auto trace = next();
    ASSERT_TRUE(trace && std::holds_alternative<feedback::ReverseTraceroute>(*trace));
    const auto& output = std::get<feedback::ReverseTraceroute>(*trace).output;
    ASSERT_TRUE(output) << output.error();
    EXPECT_NE(output->find("traceroute to 127.0.0.1"), std::string::npos);

    send(1, command::Quit{});
    EXPECT_EQ(finish(handle), std::nullopt);
    EXPECT_FALSE(next(100ms)) << "no feedback after quit";
    const auto requests = server_requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests.back(), "QuitRequest");
    EXPECT_GE(test_log().count("] Received command: ReverseTracerouteRequest(15s)"), 1);
}

TEST_F(RunnerLoopTest, ActsOnlyOnMessagesAddressedToIt)
{
    serve();
    auto r0 = start(connect(0));
    auto r1 = start(connect(1));
    auto r2 = start(connect(2));

    send(0, command::ServerLoadRequest{});  // nobody
    send(2, command::ServerLoadRequest{});  // runners 0 and 1
    auto a = next();
    auto b = next();
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(std::holds_alternative<feedback::ServerLoad>(*a));
    EXPECT_TRUE(std::holds_alternative<feedback::ServerLoad>(*b));
    EXPECT_FALSE(next(200ms)) << "runner 2 and the count-0 message must stay silent";

    send(3, command::Quit{1});  // runner 1 alone
    EXPECT_EQ(finish(r1), std::nullopt);
    send(3, command::ServerLoadRequest{});  // 0 and 2 still serve
    EXPECT_TRUE(next());
    EXPECT_TRUE(next());
    send(3, command::Quit{});
    EXPECT_EQ(finish(r0), std::nullopt);
    EXPECT_EQ(finish(r2), std::nullopt);
    const auto requests = server_requests();
    EXPECT_EQ(count_of(requests, "ServerLoadRequest"), 4);
    EXPECT_EQ(count_of(requests, "QuitRequest"), 3);
}

TEST_F(RunnerLoopTest, EndsWhenTheCommandChannelCloses)
{
    serve();
    auto handle = start(connect(0));
    std::this_thread::sleep_for(20ms);
    commands_.reset();
    EXPECT_EQ(finish(handle), "error receiving command: channel closed");
}

TEST_F(RunnerLoopTest, EndsWhenItLagsBehindTheCommandChannel)
{
    serve();
    commands_.emplace(2);
    auto runner = connect(0);
    for (int i = 0; i < 5; ++i)
        send(0, command::ServerLoadRequest{});
    auto handle = start(std::move(runner));
    EXPECT_EQ(finish(handle), "error receiving command: channel lagged by 3");
}

TEST_F(RunnerLoopTest, EndsBeforeContactingTheServerWhenFeedbackHasNoReceiver)
{
    serve();
    auto handle = start(connect(0));
    feedback_.receiver.close();
    send(1, command::DownlinkPretest{Duration::from_secs(1)});
    EXPECT_EQ(finish(handle), "failed to send feedback to controller");
    EXPECT_TRUE(server_requests().empty());
}

TEST_F(RunnerLoopTest, AbortWhileWaitingStillRunsTheNextCommandThenEnds)
{
    serve();
    auto handle = start(connect(0));
    std::this_thread::sleep_for(20ms);
    stop_->store(true);
    send(1, command::ServerLoadRequest{});
    auto load = next();
    ASSERT_TRUE(load && std::holds_alternative<feedback::ServerLoad>(*load));
    EXPECT_TRUE(std::get<feedback::ServerLoad>(*load).load);
    EXPECT_EQ(finish(handle), "aborted on timeout or user request");
}

TEST_F(RunnerLoopTest, SkippedMessageAfterAnAbortEndsTheRunnerAtOnce)
{
    serve();
    auto handle = start(connect(1));
    std::this_thread::sleep_for(20ms);
    stop_->store(true);
    send(1, command::ServerLoadRequest{});  // not for runner 1
    EXPECT_EQ(finish(handle), "aborted on timeout or user request");
    EXPECT_TRUE(server_requests().empty());
}

} // namespace

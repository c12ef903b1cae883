#include <gtest/gtest.h>

#include "AbortContext.h"

#include <chrono>

using namespace vela_client;
using namespace std::chrono_literals;

TEST(AbortContext, WithoutDeadlineOnlyTheStopFlagAborts)
{
    const StopFlag stop = make_stop_flag();
    AbortContext ctx(stop, std::nullopt);
    EXPECT_FALSE(ctx.is_aborted());
    EXPECT_FALSE(ctx.is_aborted_at(ctx.start() + std::chrono::hours(24 * 365)));
    stop->store(true);
    EXPECT_TRUE(ctx.is_aborted());
}

TEST(AbortContext, DeadlineIsStrictlyExceeded)
{
    AbortContext ctx(make_stop_flag(), Duration::from_secs(10));
    const auto start = ctx.start();
    EXPECT_FALSE(ctx.is_aborted_at(start));
    EXPECT_FALSE(ctx.is_aborted_at(start + 10s));
    EXPECT_TRUE(ctx.is_aborted_at(start + 10s + 1ns));
    // A clock reading before the start is not past any deadline.
    EXPECT_FALSE(ctx.is_aborted_at(start - 1h));
}

TEST(AbortContext, CopiesShareTheStopFlagButKeepTheirStart)
{
    const StopFlag stop = make_stop_flag();
    AbortContext client(stop, Duration::from_secs(10));
    const auto t0 = client.start();
    AbortContext copy = client;
    client.restart_at(t0 + 60s);

    // The copy still counts from t0; the restarted context from t0 + 60 s.
    EXPECT_TRUE(copy.is_aborted_at(t0 + 61s));
    EXPECT_FALSE(client.is_aborted_at(t0 + 61s));

    // Setting the flag through the handle's reference reaches every copy.
    AbortContext second = copy;
    stop->store(true);
    EXPECT_TRUE(client.is_aborted_at(t0 + 60s));
    EXPECT_TRUE(copy.is_aborted_at(t0));
    EXPECT_TRUE(second.is_aborted());
    EXPECT_EQ(second.stop_flag(), stop);
}

TEST(AbortContext, RestartMovesTheStartToNow)
{
    AbortContext ctx(make_stop_flag(), Duration::from_millis(1));
    const auto before = ctx.start();
    ctx.restart();
    EXPECT_GE(ctx.start(), before);
    EXPECT_FALSE(ctx.is_aborted_at(ctx.start() + 1ms));
}

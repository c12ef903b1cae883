#pragma once

// A measurement server on loopback, a runtime, the run's channels and runner
// connections to the server, for the runner tests. Every wait is bounded.

#include "ClientLog.h"
#include "../speedtest_support/CollectingLog.h"
#include "RunnerConnect.h"
#include "RunnerLoop.h"
#include "Runtime.h"
#include "SpeedServer.h"

#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace runner_test {

using namespace vela_client;
namespace asio = boost::asio;
using namespace std::chrono_literals;

inline constexpr const char* kSecret = "runner-secret";

using speedtest_support::CollectingLog;
using speedtest_support::test_log;

// Runs `task` with a time limit; nothing when the limit passed first.
template <class T>
asio::awaitable<std::optional<T>> within(asio::awaitable<T> task, std::chrono::nanoseconds limit)
{
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    auto first = co_await on_strand(std::move(task) || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (first.index() == 0)
        co_return std::optional<T>(std::move(std::get<0>(first)));
    co_return std::nullopt;
}

class RunnerFixture : public ::testing::Test {
protected:
    RunnerFixture() { test_log(); }
    ~RunnerFixture() override
    {
        commands_.reset();  // waiting runners end ...
        runtime_.shutdown(); // ... and nothing outlives the server
    }

    speed_server::SpeedServer& serve(speed_server::Options options = {})
    {
        if (!options.secret_key)
            options.secret_key = kSecret;
        server_ = std::make_unique<speed_server::SpeedServer>(options);
        server_->start();
        return *server_;
    }

    CommandSender& commands()
    {
        if (!commands_)
            commands_.emplace(16);
        return *commands_;
    }

    // A runner connection with its ends of the channels.
    Runner connect(std::uint8_t number, Duration progress_interval = Duration::from_millis(100), bool tls = false,
                   bool websocket = false)
    {
        RunnerConnectParams params;
        params.host = "localhost";
        params.server_address = Endpoint(asio::ip::make_address("127.0.0.1"), server_->tcp_port());
        params.tls = tls;
        params.skip_certificate_validation = true;
        if (websocket)
            params.websocket_url = "ws://127.0.0.1:" + std::to_string(server_->tcp_port());
        auto token = build_token(kSecret);
        EXPECT_TRUE(token.has_value());
        AbortContext abort(stop_, std::nullopt);
        auto outcome = runtime_.block_on(runner_connect(number, *token, progress_interval, abort, params,
                                                        subscribe_runner(commands()), feedback_.sender, buffer_, 8));
        if (auto* text = std::get_if<std::string>(&outcome))
            ADD_FAILURE() << "connect failed: " << *text;
        return std::move(std::get<Runner>(outcome));
    }

    JoinHandle<std::optional<std::string>> start(Runner runner, RoutineLimits limits = {})
    {
        return spawn_runner(runtime_.executor(), std::move(runner), limits);
    }

    // The runner's outcome: empty for success, else its text; "<no end>" when
    // it did not end within the limit.
    std::optional<std::string> finish(JoinHandle<std::optional<std::string>>& handle, std::chrono::nanoseconds limit = 10s)
    {
        auto got = runtime_.block_on(within(handle.join(), limit));
        if (!got)
            return std::string("<no end>");
        if (!*got)
            return std::string("<ended abnormally>");
        return **got;
    }

    void send(std::uint8_t runner_count, RunnerCommand command) { commands().send(CommandMessage{runner_count, std::move(command)}); }

    // The next feedback, or nothing within the limit.
    std::optional<RunnerFeedback> next(std::chrono::nanoseconds limit = 10s)
    {
        auto got = runtime_.block_on(feedback_.receiver.recv_for(limit));
        if (!got)
            return std::nullopt;
        return std::move(*got);
    }

    // Feedback up to and including the first of kind T (at most `limit` in all).
    template <class T>
    std::vector<RunnerFeedback> until(std::chrono::nanoseconds limit = 10s)
    {
        std::vector<RunnerFeedback> seen;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            auto fb = next(end - std::chrono::steady_clock::now());
            if (!fb)
                break;
            seen.push_back(std::move(*fb));
            if (std::holds_alternative<T>(seen.back()))
                return seen;
        }
        ADD_FAILURE() << "no feedback of the awaited kind; got " << seen.size() << " others";
        return seen;
    }

    // The last element as T (the kind until() waited for).
    template <class T>
    static const T& last_as(const std::vector<RunnerFeedback>& seen)
    {
        return std::get<T>(seen.back());
    }

    std::vector<std::string> server_requests() const { return server_->stats().requests; }

    std::unique_ptr<speed_server::SpeedServer> server_;
    Runtime runtime_{4};
    std::optional<CommandSender> commands_;
    FeedbackChannel feedback_ = make_feedback_channel();
    SharedRandomBufferRef buffer_ = make_shared_random_buffer();
    StopFlag stop_ = make_stop_flag();
};

} // namespace runner_test

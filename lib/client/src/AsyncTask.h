#pragma once

// Spawning a task on the run's runtime and joining it later, and a plain
// asynchronous sleep.
//
//   JoinHandle<int> handle = spawn_task(executor, compute());
//   ... other work while compute() runs ...
//   std::optional<int> value = co_await handle.join();  // nullopt: ended abnormally
//
// The task runs whether or not it is joined; dropping the handle detaches it.
// "Abnormally" means it threw, or was dropped unfinished (the runtime shut
// down under it).

#include "Channels.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <utility>
#include <variant>

namespace vela_client {

template <class T>
class JoinHandle {
public:
    JoinHandle() = default;

    // Waits for the task's end; its value, or nothing when it ended
    // abnormally. A handle can be joined once.
    boost::asio::awaitable<std::optional<T>> join()
    {
        auto got = co_await done_.recv();
        if (!got)
            co_return std::nullopt;
        if (auto* value = std::get_if<T>(&*got))
            co_return std::move(*value);
        co_return std::nullopt;
    }

private:
    using Outcome = std::variant<T, std::exception_ptr>;

    template <class U, class Executor>
    friend JoinHandle<U> spawn_task(const Executor& executor, boost::asio::awaitable<U> task);

    explicit JoinHandle(UnboundedReceiver<Outcome> done) : done_(std::move(done)) {}

    UnboundedReceiver<Outcome> done_;
};

template <class T, class Executor>
JoinHandle<T> spawn_task(const Executor& executor, boost::asio::awaitable<T> task)
{
    using Outcome = typename JoinHandle<T>::Outcome;
    auto [tx, rx] = make_unbounded_channel<Outcome>();
    // The value is handed over from inside, so T need not be
    // default-constructible; a task dropped unfinished drops both senders,
    // which closes the channel.
    boost::asio::co_spawn(
        executor,
        [tx, t = std::move(task)]() mutable -> boost::asio::awaitable<void> {
            tx.send(Outcome(std::in_place_index<0>, co_await std::move(t)));
        },
        [tx](std::exception_ptr e) {
            if (e)
                tx.send(Outcome(std::in_place_index<1>, e));
        });
    return JoinHandle<T>(std::move(rx));
}

// Suspends the calling task for `duration` (at once for zero or less).
boost::asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration);

// Awaits `task` on a strand: the calling task's own, or a new one over its
// executor. A wait for whichever of several operations comes first (the
// awaitable operators) must run this way: on the run's multi-threaded pool,
// two of its operations can complete at the same moment on two threads, and
// the first one's cancellation of the other then races with that other's
// completion (a crash inside the cancellation signal).
template <class T>
boost::asio::awaitable<T> on_strand(boost::asio::awaitable<T> task)
{
    auto executor = co_await boost::asio::this_coro::executor;
    if (executor.template target<boost::asio::strand<boost::asio::any_io_executor>>() != nullptr)
        co_return co_await std::move(task);
    // Through an optional: the value need not be default-constructible.
    std::optional<T> result = co_await boost::asio::co_spawn(
        boost::asio::make_strand(executor),
        [&task]() -> boost::asio::awaitable<std::optional<T>> { co_return co_await std::move(task); },
        boost::asio::use_awaitable);
    co_return std::move(*result);
}

} // namespace vela_client

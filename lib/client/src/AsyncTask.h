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

} // namespace vela_client

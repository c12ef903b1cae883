#pragma once

// The asynchronous runtime of one speed-test run: a pool of worker threads
// (10 for a run) carrying every task, socket and timer of the run. It lives
// for one run; destroying it stops the pool, drops tasks still spawned on it
// and joins the threads.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <cstddef>
#include <exception>
#include <future>
#include <type_traits>

namespace vela_client {

class Runtime {
public:
    static constexpr std::size_t kWorkerThreads = 10;

    explicit Runtime(std::size_t worker_threads = kWorkerThreads);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    boost::asio::any_io_executor executor() { return pool_.get_executor(); }
    // A strand of the pool: one per runner connection.
    boost::asio::strand<boost::asio::any_io_executor> make_strand() { return boost::asio::make_strand(executor()); }

    // Runs the task on the pool and blocks the calling thread until it ends;
    // an exception of the task is rethrown here.
    template <class T>
    T block_on(boost::asio::awaitable<T> task)
    {
        std::promise<T> done;
        auto result = done.get_future();
        if constexpr (std::is_void_v<T>) {
            boost::asio::co_spawn(executor(), std::move(task), [&done](std::exception_ptr e) {
                if (e)
                    done.set_exception(e);
                else
                    done.set_value();
            });
        } else {
            // Results need not be default-constructible: the task hands its
            // value over from inside.
            boost::asio::co_spawn(
                executor(),
                [&done, t = std::move(task)]() mutable -> boost::asio::awaitable<void> {
                    done.set_value(co_await std::move(t));
                },
                [&done](std::exception_ptr e) {
                    if (e)
                        done.set_exception(e);
                });
        }
        return result.get();
    }

    // Stops the pool: tasks still spawned are dropped, the threads end.
    void shutdown();

private:
    boost::asio::thread_pool pool_;
    bool stopped_ = false;
};

} // namespace vela_client

#pragma once

// Makes every stop of a run prompt. The abort context is only polled by the
// loops of a run, so a task that waits (on a socket, a connect, a timer)
// would notice a stop only when its wait ends, up to a time-out later. The
// watch polls the context every few milliseconds for the run's length; once
// it reports an abort, every runner connection handed to the watch is shut
// down (its pending reads and writes then fail at once), and the waits that
// race against wait_aborted() end.
//
//   auto watch = AbortWatch::start(executor, abort);
//   watch->guard(connection.transport.socket.cut());   // shut down on a stop
//   co_await (socket.async_connect(...) || watch->wait_aborted());
//   ...
//   watch->stop();   // the run is over

#include "AbortContext.h"
#include "lib/SocketOps.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace vela_client {

class AbortWatch : public std::enable_shared_from_this<AbortWatch> {
public:
    static constexpr std::chrono::milliseconds kPoll{20};

    // A watch over `abort`, polling on a task of `executor` until stop().
    static std::shared_ptr<AbortWatch> start(const boost::asio::any_io_executor& executor, AbortContext abort);

    explicit AbortWatch(AbortContext abort);

    // Shuts the socket down as soon as the run is aborted (at once when it
    // already is). The socket may be closed by its owner at any time.
    void guard(std::weak_ptr<SocketCut> socket);
    // True once the watch has seen the abort.
    bool fired() const { return fired_.load(); }
    // Completes once the watch has seen the abort (polled; cancellable).
    boost::asio::awaitable<void> wait_aborted() const;
    // Ends the polling; nothing is shut down afterwards.
    void stop() { stopped_.store(true); }

private:
    boost::asio::awaitable<void> watch();
    void fire();

    AbortContext abort_;
    std::atomic<bool> fired_{false};
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::vector<std::weak_ptr<SocketCut>> sockets_;
};

} // namespace vela_client

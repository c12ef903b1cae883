#include "AbortWatch.h"

#include "AsyncTask.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>

namespace asio = boost::asio;

namespace vela_client {

AbortWatch::AbortWatch(AbortContext abort) : abort_(std::move(abort)) {}

std::shared_ptr<AbortWatch> AbortWatch::start(const asio::any_io_executor& executor, AbortContext abort)
{
    auto watch = std::make_shared<AbortWatch>(std::move(abort));
    asio::co_spawn(executor, [w = watch]() -> asio::awaitable<void> { co_await w->watch(); }, asio::detached);
    return watch;
}

asio::awaitable<void> AbortWatch::watch()
{
    while (!stopped_.load()) {
        if (abort_.is_aborted()) {
            fire();
            co_return;
        }
        co_await sleep_for(kPoll);
    }
}

void AbortWatch::fire()
{
    std::vector<std::weak_ptr<SocketCut>> sockets;
    {
        std::lock_guard lock(mutex_);
        fired_.store(true);
        sockets.swap(sockets_);
    }
    for (auto& weak : sockets)
        if (auto socket = weak.lock())
            socket->shutdown();
}

void AbortWatch::guard(std::weak_ptr<SocketCut> socket)
{
    {
        std::lock_guard lock(mutex_);
        if (!fired_.load()) {
            // Entries of connections that have gone are dropped on the way.
            std::erase_if(sockets_, [](const auto& w) { return w.expired(); });
            sockets_.push_back(std::move(socket));
            return;
        }
    }
    if (auto s = socket.lock())
        s->shutdown();
}

asio::awaitable<void> AbortWatch::wait_aborted() const
{
    while (!fired_.load() && !abort_.is_aborted()) {
        // A wait that lost its race is cancelled: it must end, not poll on.
        const auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none)
            co_return;
        co_await sleep_for(kPoll);
    }
}

} // namespace vela_client

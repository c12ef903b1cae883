#include "AsyncTask.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;

namespace vela_client {

asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration)
{
    if (duration <= std::chrono::nanoseconds::zero())
        co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto now = asio::steady_timer::clock_type::now();
    if (duration > asio::steady_timer::clock_type::time_point::max() - now)
        timer.expires_at(asio::steady_timer::clock_type::time_point::max());
    else
        timer.expires_after(duration);
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
}

} // namespace vela_client

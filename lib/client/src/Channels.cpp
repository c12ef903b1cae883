#include "Channels.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;
using boost::system::error_code;

namespace vela_client {

std::string RecvError::text() const
{
    switch (kind) {
    case Kind::Closed: return "channel closed";
    case Kind::Lagged: return "channel lagged by " + std::to_string(missed);
    case Kind::Empty: return "channel empty";
    case Kind::TimedOut: return "timed out";
    }
    return "channel closed";
}

namespace detail {

using Clock = std::chrono::steady_clock;

// The wake-up travels through a one-slot channel made on the executor of the
// first wait; a wake-up before that is kept as a flag.
struct Waker::Impl {
    using Slot = asio::experimental::concurrent_channel<void(error_code)>;
    std::mutex mutex;
    bool pending = false;
    std::unique_ptr<Slot> slot;
};

Waker::Waker() : impl_(std::make_unique<Impl>()) {}
Waker::~Waker() = default;

void Waker::notify()
{
    std::lock_guard lock(impl_->mutex);
    if (impl_->slot)
        impl_->slot->try_send(error_code{});  // a full slot already holds a wake-up
    else
        impl_->pending = true;
}

asio::awaitable<bool> Waker::wait(std::optional<Clock::time_point> deadline)
{
    Impl::Slot* slot = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->pending) {
            impl_->pending = false;
            co_return true;
        }
        if (!impl_->slot)
            impl_->slot = std::make_unique<Impl::Slot>(co_await asio::this_coro::executor, 1);
        slot = impl_->slot.get();
    }
    if (!deadline) {
        co_await slot->async_receive(asio::as_tuple(asio::use_awaitable));
        co_return true;
    }
    if (Clock::now() >= *deadline) {
        // Take a wake-up that is already there, without waiting.
        co_return slot->try_receive([](error_code) {});
    }
    asio::steady_timer timer(co_await asio::this_coro::executor, *deadline);
    auto first = co_await (slot->async_receive(asio::as_tuple(asio::use_awaitable)) ||
                           timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    co_return first.index() == 0;
}

std::optional<Clock::time_point> deadline_from_now(std::chrono::nanoseconds timeout)
{
    const auto now = Clock::now();
    const auto span = std::max(timeout, std::chrono::nanoseconds::zero());
    if (std::chrono::duration_cast<Clock::duration>(span) > Clock::time_point::max() - now)
        return std::nullopt;
    return now + std::chrono::duration_cast<Clock::duration>(span);
}

} // namespace detail

} // namespace vela_client

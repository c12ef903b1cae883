#include "lib/AsyncLock.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace asio = boost::asio;
using boost::system::error_code;

namespace vela_client {

AsyncLockGuard& AsyncLockGuard::operator=(AsyncLockGuard&& other) noexcept
{
    if (this != &other) {
        release();
        lock_ = other.lock_;
        shared_ = other.shared_;
        other.lock_ = nullptr;
    }
    return *this;
}

void AsyncLockGuard::release()
{
    if (lock_) {
        lock_->release(shared_);
        lock_ = nullptr;
    }
}

// A waiter is woken through a one-slot channel, so a grant made before its
// wait has started is not lost.
struct AsyncRwLock::Waiter {
    Waiter(const asio::any_io_executor& ex, bool s) : shared(s), wake(ex, 1) {}
    bool shared = false;
    bool granted = false;
    asio::experimental::concurrent_channel<void(error_code)> wake;
};

bool AsyncRwLock::can_grant_now(bool shared) const
{
    if (!waiters_.empty())
        return false;  // first come, first served
    return shared ? !writer_ : (!writer_ && readers_ == 0);
}

void AsyncRwLock::take(bool shared)
{
    if (shared)
        ++readers_;
    else
        writer_ = true;
}

AsyncLockGuard AsyncRwLock::try_lock_shared()
{
    std::lock_guard lk(mutex_);
    if (!can_grant_now(true))
        return {};
    take(true);
    return AsyncLockGuard(this, true);
}

AsyncLockGuard AsyncRwLock::try_lock_exclusive()
{
    std::lock_guard lk(mutex_);
    if (!can_grant_now(false))
        return {};
    take(false);
    return AsyncLockGuard(this, false);
}

asio::awaitable<AsyncLockGuard> AsyncRwLock::lock_shared() { return acquire(true); }
asio::awaitable<AsyncLockGuard> AsyncRwLock::lock_exclusive() { return acquire(false); }

asio::awaitable<AsyncLockGuard> AsyncRwLock::acquire(bool shared)
{
    std::shared_ptr<Waiter> waiter;
    {
        std::lock_guard lk(mutex_);
        if (can_grant_now(shared)) {
            take(shared);
            co_return AsyncLockGuard(this, shared);
        }
        waiter = std::make_shared<Waiter>(co_await asio::this_coro::executor, shared);
        waiters_.push_back(waiter);
    }
    // A cancelled wait (a time-out around it, say) wakes here as well.
    co_await waiter->wake.async_receive(asio::as_tuple(asio::use_awaitable));
    {
        std::lock_guard lk(mutex_);
        if (waiter->granted)
            co_return AsyncLockGuard(this, shared);
        waiters_.remove(waiter);
        grant_waiters();  // a writer that gave up may have held back readers
    }
    throw boost::system::system_error(asio::error::operation_aborted);
}

void AsyncRwLock::release(bool shared)
{
    std::lock_guard lk(mutex_);
    if (shared)
        --readers_;
    else
        writer_ = false;
    grant_waiters();
}

// Called with mutex_ held.
void AsyncRwLock::grant_waiters()
{
    while (!waiters_.empty()) {
        auto front = waiters_.front();
        if (front->shared ? writer_ : (writer_ || readers_ > 0))
            return;
        take(front->shared);
        front->granted = true;
        waiters_.pop_front();
        front->wake.try_send(error_code{});
    }
}

} // namespace vela_client

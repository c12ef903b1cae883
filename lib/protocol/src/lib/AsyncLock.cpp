#include "lib/AsyncLock.h"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
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

struct AsyncRwLock::Waiter {
    bool shared = false;
    bool done = false;  // granted or cancelled; the handler is gone
    asio::any_io_executor executor;
    asio::any_completion_handler<void(error_code)> handler;
};

namespace {
// Resumes the waiter through its task's executor, never inline.
void complete(const asio::any_io_executor& ex, asio::any_completion_handler<void(error_code)> handler, error_code ec)
{
    asio::post(ex, [h = std::move(handler), ec]() mutable { std::move(h)(ec); });
}
} // namespace

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
    {
        std::lock_guard lk(mutex_);
        if (can_grant_now(shared)) {
            take(shared);
            co_return AsyncLockGuard(this, shared);
        }
    }
    // The lock is taken for us before the handler runs; a cancelled wait
    // completes with operation_aborted (thrown by use_awaitable).
    auto executor = co_await asio::this_coro::executor;
    co_await asio::async_initiate<const asio::use_awaitable_t<>, void(error_code)>(
        [this, shared, &executor](auto handler) {
            auto slot = asio::get_associated_cancellation_slot(handler);
            std::unique_lock lk(mutex_);
            if (can_grant_now(shared)) {
                take(shared);
                lk.unlock();
                complete(executor, std::move(handler), {});
                return;
            }
            auto waiter = std::make_shared<Waiter>();
            waiter->shared = shared;
            waiter->executor = executor;
            waiters_.push_back(waiter);
            if (slot.is_connected()) {
                std::weak_ptr<Waiter> weak = waiter;
                slot.assign([this, weak](asio::cancellation_type) {
                    if (auto w = weak.lock())
                        cancel_waiter(w);
                });
            }
            waiter->handler = std::move(handler);
        },
        asio::use_awaitable);
    co_return AsyncLockGuard(this, shared);
}

void AsyncRwLock::cancel_waiter(const std::shared_ptr<Waiter>& waiter)
{
    asio::any_completion_handler<void(error_code)> handler;
    {
        std::lock_guard lk(mutex_);
        if (waiter->done)
            return;
        waiter->done = true;
        handler = std::move(waiter->handler);
        waiters_.remove(waiter);
        grant_waiters();  // a cancelled writer may have held back readers
    }
    complete(waiter->executor, std::move(handler), asio::error::operation_aborted);
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
        front->done = true;
        waiters_.pop_front();
        complete(front->executor, std::move(front->handler), {});
    }
}

} // namespace vela_client

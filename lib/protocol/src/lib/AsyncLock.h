#pragma once

// Asynchronous locks for the runner connections: a waiting task suspends,
// not its worker thread. A wait can be cancelled (for example by the time-out
// of a request), which takes the waiter out of the queue.

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>

namespace vela_client {

class AsyncRwLock;

// Holds one grant of an AsyncRwLock (shared or exclusive) until released.
class AsyncLockGuard {
public:
    AsyncLockGuard() = default;
    AsyncLockGuard(AsyncRwLock* lock, bool shared) : lock_(lock), shared_(shared) {}
    AsyncLockGuard(AsyncLockGuard&& other) noexcept : lock_(other.lock_), shared_(other.shared_) { other.lock_ = nullptr; }
    AsyncLockGuard& operator=(AsyncLockGuard&& other) noexcept;
    AsyncLockGuard(const AsyncLockGuard&) = delete;
    AsyncLockGuard& operator=(const AsyncLockGuard&) = delete;
    ~AsyncLockGuard() { release(); }

    bool owns_lock() const { return lock_ != nullptr; }
    void release();

private:
    AsyncRwLock* lock_ = nullptr;
    bool shared_ = false;
};

// A readers-writer lock with first-come, first-served grants: a waiting writer
// holds back readers that come after it.
class AsyncRwLock {
public:
    AsyncRwLock() = default;
    AsyncRwLock(const AsyncRwLock&) = delete;
    AsyncRwLock& operator=(const AsyncRwLock&) = delete;

    boost::asio::awaitable<AsyncLockGuard> lock_shared();
    boost::asio::awaitable<AsyncLockGuard> lock_exclusive();
    AsyncLockGuard try_lock_shared();
    AsyncLockGuard try_lock_exclusive();

private:
    friend class AsyncLockGuard;
    struct Waiter;

    boost::asio::awaitable<AsyncLockGuard> acquire(bool shared);
    bool can_grant_now(bool shared) const;
    void take(bool shared);
    void release(bool shared);
    void grant_waiters();
    void cancel_waiter(const std::shared_ptr<Waiter>& waiter);

    std::mutex mutex_;
    std::size_t readers_ = 0;
    bool writer_ = false;
    std::list<std::shared_ptr<Waiter>> waiters_;
};

// An asynchronous mutex: an exclusive-only AsyncRwLock.
class AsyncMutex {
public:
    boost::asio::awaitable<AsyncLockGuard> lock() { return lock_.lock_exclusive(); }
    AsyncLockGuard try_lock() { return lock_.try_lock_exclusive(); }

private:
    AsyncRwLock lock_;
};

} // namespace vela_client

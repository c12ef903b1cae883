#pragma once

// Asynchronous channels between the tasks of a speed-test run, for
// coroutines on the run's runtime. A waiting receiver suspends its task, not
// its worker thread. Two kinds:
//
//  - Unbounded (many senders, one receiver): send never waits and fails only
//    once the receiver is gone; the receiver gets every message in sending
//    order and learns "closed" once every sender is gone and the queue is
//    drained. The controller's feedback and progress channels.
//
//  - Broadcast (many senders, many receivers, bounded): every receiver sees
//    every message sent after it subscribed, in the same order. The channel
//    keeps the last `capacity` messages; a receiver that falls further behind
//    is told how many it missed (a lag error) and goes on with the oldest kept
//    message. The controller's command channel.
//
//   auto [tx, rx] = make_unbounded_channel<int>();
//   tx.send(1);
//   auto got = co_await rx.recv();          // Expected<int, RecvError>
//
//   auto commands = BroadcastSender<Cmd>(16);
//   auto runner_end = commands.subscribe();
//   commands.send(cmd);
//   auto next = co_await runner_end.recv(); // a copy of cmd
//
// Senders are cheap to copy (copies count as senders); receivers are
// move-only. All members are safe to call from any thread; one receiver must
// not be awaited by two tasks at once.

#include <boost/asio/awaitable.hpp>

#include "VelaExpected.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vela_client {

// Why a receive gave no message.
struct RecvError {
    enum class Kind {
        Closed,    // every sender is gone and nothing is left to receive
        Lagged,    // broadcast only: `missed` messages were overwritten unseen
        Empty,     // try_recv only: nothing queued right now
        TimedOut,  // recv_for only: nothing came within the time
    };
    Kind kind = Kind::Closed;
    std::uint64_t missed = 0;

    // "channel closed", "channel lagged by <n>", "channel empty", "timed out".
    std::string text() const;
    bool operator==(const RecvError&) const = default;
};

namespace detail {

// Wakes one waiting task. A wake-up that comes before the wait is kept, so
// none is lost; spurious wake-ups are possible and callers re-check. One task
// waits at a time; notify() may be called from any thread.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    void notify();
    // Waits for a wake-up; false when `deadline` passed first.
    boost::asio::awaitable<bool> wait(std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// The deadline `timeout` from now; none when it does not fit the clock.
std::optional<std::chrono::steady_clock::time_point> deadline_from_now(std::chrono::nanoseconds timeout);

template <class T>
struct UnboundedState {
    std::mutex mutex;
    std::deque<T> queue;
    std::size_t senders = 0;
    bool receiver_open = true;
    Waker waker;
};

template <class T>
struct BroadcastState {
    explicit BroadcastState(std::size_t cap) : capacity(std::max<std::size_t>(cap, 1)) {}

    std::mutex mutex;
    std::size_t capacity;
    std::deque<T> kept;           // the last `capacity` messages
    std::uint64_t first_seq = 0;  // sequence number of kept.front()
    std::uint64_t next_seq = 0;   // sequence number of the next message sent
    std::size_t senders = 0;
    std::size_t receivers = 0;
    std::vector<std::shared_ptr<Waker>> waiting;

    void wake_all(std::unique_lock<std::mutex>& lock)
    {
        auto woken = std::move(waiting);
        waiting.clear();
        lock.unlock();
        for (auto& w : woken)
            w->notify();
    }
};

} // namespace detail

template <class T>
class UnboundedReceiver;

// Sending end of an unbounded channel. A default-constructed sender belongs
// to no channel and every send fails.
template <class T>
class UnboundedSender {
public:
    UnboundedSender() = default;
    UnboundedSender(const UnboundedSender& other) : state_(other.state_) { attach(); }
    UnboundedSender(UnboundedSender&& other) noexcept : state_(std::move(other.state_)) {}
    UnboundedSender& operator=(UnboundedSender other) noexcept
    {
        std::swap(state_, other.state_);
        return *this;
    }
    ~UnboundedSender() { detach(); }

    // Queues the message; false (and the message is dropped) when the
    // receiving end is gone. Never waits.
    bool send(T value) const
    {
        if (!state_)
            return false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_open)
                return false;
            state_->queue.push_back(std::move(value));
        }
        state_->waker.notify();
        return true;
    }

    // True once the receiving end is gone.
    bool is_closed() const
    {
        if (!state_)
            return true;
        std::lock_guard lock(state_->mutex);
        return !state_->receiver_open;
    }

private:
    template <class U>
    friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel();

    explicit UnboundedSender(std::shared_ptr<detail::UnboundedState<T>> state) : state_(std::move(state)) { attach(); }

    void attach()
    {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    void detach()
    {
        if (!state_)
            return;
        bool last = false;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last)
            state_->waker.notify();  // the receiver learns that the channel closed
        state_.reset();
    }

    std::shared_ptr<detail::UnboundedState<T>> state_;
};

// Receiving end of an unbounded channel. Dropping it closes the channel for
// the senders and drops what is still queued.
template <class T>
class UnboundedReceiver {
public:
    UnboundedReceiver() = default;
    UnboundedReceiver(UnboundedReceiver&&) noexcept = default;
    UnboundedReceiver& operator=(UnboundedReceiver&& other) noexcept
    {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    UnboundedReceiver(const UnboundedReceiver&) = delete;
    UnboundedReceiver& operator=(const UnboundedReceiver&) = delete;
    ~UnboundedReceiver() { close(); }

    // The next message; Closed once every sender is gone and the queue is empty.
    boost::asio::awaitable<Expected<T, RecvError>> recv() { return receive(std::nullopt); }

    // As recv(), but gives TimedOut when nothing comes within `timeout`.
    boost::asio::awaitable<Expected<T, RecvError>> recv_for(std::chrono::nanoseconds timeout)
    {
        return receive(detail::deadline_from_now(timeout));
    }

    // The next message if one is queued: Empty when none is, Closed when none
    // will come.
    Expected<T, RecvError> try_recv()
    {
        if (!state_)
            return unexpected(RecvError{RecvError::Kind::Closed});
        std::lock_guard lock(state_->mutex);
        return take_locked();
    }

    // Closes the channel: later sends fail; queued messages are dropped.
    void close()
    {
        if (!state_)
            return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_open = false;
            dropped.swap(state_->queue);
        }
        state_.reset();
    }

private:
    template <class U>
    friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> make_unbounded_channel();

    explicit UnboundedReceiver(std::shared_ptr<detail::UnboundedState<T>> state) : state_(std::move(state)) {}

    Expected<T, RecvError> take_locked()
    {
        if (!state_->queue.empty()) {
            T value = std::move(state_->queue.front());
            state_->queue.pop_front();
            return value;
        }
        if (state_->senders == 0)
            return unexpected(RecvError{RecvError::Kind::Closed});
        return unexpected(RecvError{RecvError::Kind::Empty});
    }

    boost::asio::awaitable<Expected<T, RecvError>> receive(std::optional<std::chrono::steady_clock::time_point> deadline)
    {
        if (!state_)
            co_return unexpected(RecvError{RecvError::Kind::Closed});
        auto state = state_;  // kept alive across the suspension
        for (;;) {
            {
                std::lock_guard lock(state->mutex);
                auto got = take_locked();
                if (got || got.error().kind != RecvError::Kind::Empty)
                    co_return got;
            }
            if (!co_await state->waker.wait(deadline))
                co_return unexpected(RecvError{RecvError::Kind::TimedOut});
        }
    }

    std::shared_ptr<detail::UnboundedState<T>> state_;
};

template <class T>
std::pair<UnboundedSender<T>, UnboundedReceiver<T>> make_unbounded_channel()
{
    auto state = std::make_shared<detail::UnboundedState<T>>();
    return {UnboundedSender<T>(state), UnboundedReceiver<T>(state)};
}

template <class T>
class BroadcastReceiver;

// Sending end of a broadcast channel; it creates the channel and hands out
// receivers. Messages are copied to each receiver.
template <class T>
class BroadcastSender {
public:
    // A new channel that keeps the last `capacity` messages (at least 1).
    explicit BroadcastSender(std::size_t capacity) : state_(std::make_shared<detail::BroadcastState<T>>(capacity))
    {
        attach();
    }
    BroadcastSender(const BroadcastSender& other) : state_(other.state_) { attach(); }
    BroadcastSender(BroadcastSender&& other) noexcept : state_(std::move(other.state_)) {}
    BroadcastSender& operator=(BroadcastSender other) noexcept
    {
        std::swap(state_, other.state_);
        return *this;
    }
    ~BroadcastSender() { detach(); }

    // Sends to every current receiver; gives how many there are. With none,
    // the message is dropped and 0 is given. Never waits: when the channel is
    // full the oldest message is overwritten.
    std::size_t send(T value) const
    {
        std::unique_lock lock(state_->mutex);
        if (state_->receivers == 0)
            return 0;
        const std::size_t receivers = state_->receivers;
        state_->kept.push_back(std::move(value));
        ++state_->next_seq;
        if (state_->kept.size() > state_->capacity) {
            state_->kept.pop_front();
            ++state_->first_seq;
        }
        state_->wake_all(lock);
        return receivers;
    }

    // A receiver that sees the messages sent from now on.
    BroadcastReceiver<T> subscribe() const { return BroadcastReceiver<T>(state_); }

    std::size_t receiver_count() const
    {
        std::lock_guard lock(state_->mutex);
        return state_->receivers;
    }
    std::size_t capacity() const { return state_->capacity; }

private:
    void attach()
    {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    void detach()
    {
        if (!state_)
            return;
        std::unique_lock lock(state_->mutex);
        if (--state_->senders == 0)
            state_->wake_all(lock);  // waiting receivers learn that the channel closed
        state_.reset();
    }

    std::shared_ptr<detail::BroadcastState<T>> state_;
};

// One receiving end of a broadcast channel, with its own position.
template <class T>
class BroadcastReceiver {
public:
    BroadcastReceiver() = default;
    BroadcastReceiver(BroadcastReceiver&& other) noexcept
        : state_(std::move(other.state_)), next_(other.next_), waker_(std::move(other.waker_))
    {
    }
    BroadcastReceiver& operator=(BroadcastReceiver&& other) noexcept
    {
        if (this != &other) {
            detach();
            state_ = std::move(other.state_);
            next_ = other.next_;
            waker_ = std::move(other.waker_);
        }
        return *this;
    }
    BroadcastReceiver(const BroadcastReceiver&) = delete;
    BroadcastReceiver& operator=(const BroadcastReceiver&) = delete;
    ~BroadcastReceiver() { detach(); }

    // The next message for this receiver. Lagged (with the number missed)
    // when it fell behind the channel's capacity; the following call gives
    // the oldest message kept. Closed once every sender is gone and this
    // receiver has seen everything sent.
    boost::asio::awaitable<Expected<T, RecvError>> recv()
    {
        if (!state_)
            co_return unexpected(RecvError{RecvError::Kind::Closed});
        auto state = state_;
        auto waker = waker_;
        for (;;) {
            {
                std::lock_guard lock(state->mutex);
                auto got = take_locked();
                if (got || got.error().kind != RecvError::Kind::Empty)
                    co_return got;
                if (std::find(state->waiting.begin(), state->waiting.end(), waker) == state->waiting.end())
                    state->waiting.push_back(waker);
            }
            co_await waker->wait();
        }
    }

    Expected<T, RecvError> try_recv()
    {
        if (!state_)
            return unexpected(RecvError{RecvError::Kind::Closed});
        std::lock_guard lock(state_->mutex);
        return take_locked();
    }

private:
    friend class BroadcastSender<T>;

    explicit BroadcastReceiver(std::shared_ptr<detail::BroadcastState<T>> state)
        : state_(std::move(state)), waker_(std::make_shared<detail::Waker>())
    {
        std::lock_guard lock(state_->mutex);
        ++state_->receivers;
        next_ = state_->next_seq;
    }

    Expected<T, RecvError> take_locked()
    {
        auto& s = *state_;
        if (next_ < s.first_seq) {
            const std::uint64_t missed = s.first_seq - next_;
            next_ = s.first_seq;
            return unexpected(RecvError{RecvError::Kind::Lagged, missed});
        }
        if (next_ < s.next_seq) {
            T value = s.kept[static_cast<std::size_t>(next_ - s.first_seq)];
            ++next_;
            return value;
        }
        if (s.senders == 0)
            return unexpected(RecvError{RecvError::Kind::Closed});
        return unexpected(RecvError{RecvError::Kind::Empty});
    }

    void detach()
    {
        if (!state_)
            return;
        {
            std::lock_guard lock(state_->mutex);
            --state_->receivers;
        }
        state_.reset();
    }

    std::shared_ptr<detail::BroadcastState<T>> state_;
    std::uint64_t next_ = 0;
    std::shared_ptr<detail::Waker> waker_;
};

} // namespace vela_client

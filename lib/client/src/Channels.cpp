#include "Channels.h"

#include "AsyncTask.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
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

// The waiting task's completion handler is kept here, under the mutex, and
// notify() posts it; a wake-up with nobody waiting is kept as a flag. A wait
// that is cancelled (the deadline's timer won) takes its handler back the
// same way, so a wake-up and a cancellation can never both complete it.
struct Waker::Impl {
    // A stored completion handler of one wait.
    struct Pending {
        virtual ~Pending() = default;
        virtual void complete(bool woken) = 0;
    };

    std::mutex mutex;
    bool flag = false;
    std::unique_ptr<Pending> waiting;
    std::uint64_t generation = 0;  // of the stored wait

    // Takes the stored wait if it is `generation`'s.
    std::unique_ptr<Pending> take(std::uint64_t of)
    {
        std::lock_guard lock(mutex);
        if (!waiting || generation != of)
            return nullptr;
        return std::move(waiting);
    }
};

namespace {

// The stored handler holds no work on its executor: the run's pool keeps
// its threads until it is stopped anyway, and a handler that outlives the
// pool (a task torn down with it) must not reach back into it.
template <class Handler>
struct PendingHandler final : Waker::Impl::Pending {
    explicit PendingHandler(Handler&& h) : handler(std::move(h)) {}
    void complete(bool woken) override
    {
        auto executor = asio::get_associated_executor(handler);
        asio::post(executor, [h = std::move(handler), woken]() mutable {
            std::move(h)(woken ? error_code{} : error_code(asio::error::operation_aborted));
        });
    }
    Handler handler;
};

// Completes with no error on a wake-up, with operation_aborted when cancelled.
template <class Token>
auto async_wait_for_wake(std::shared_ptr<Waker::Impl> impl, Token&& token)
{
    return asio::async_initiate<Token, void(error_code)>(
        [impl](auto handler) {
            using Handler = decltype(handler);
            auto slot = asio::get_associated_cancellation_slot(handler);
            std::unique_lock lock(impl->mutex);
            if (impl->flag) {
                impl->flag = false;
                lock.unlock();
                PendingHandler<Handler>(std::move(handler)).complete(true);
                return;
            }
            const std::uint64_t generation = ++impl->generation;
            if (slot.is_connected()) {
                slot.assign([impl, generation](asio::cancellation_type) {
                    if (auto pending = impl->take(generation))
                        pending->complete(false);
                });
            }
            impl->waiting = std::make_unique<PendingHandler<Handler>>(std::move(handler));
        },
        token);
}

} // namespace

Waker::Waker() : impl_(std::make_shared<Impl>()) {}
Waker::~Waker() = default;

void Waker::notify()
{
    std::unique_ptr<Impl::Pending> pending;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->waiting)
            pending = std::move(impl_->waiting);
        else
            impl_->flag = true;
    }
    if (pending)
        pending->complete(true);
}

asio::awaitable<bool> Waker::wait(std::optional<Clock::time_point> deadline)
{
    if (!deadline) {
        co_await async_wait_for_wake(impl_, asio::as_tuple(asio::use_awaitable));
        co_return true;
    }
    if (Clock::now() >= *deadline) {
        // Take a wake-up that is already there, without waiting.
        std::lock_guard lock(impl_->mutex);
        co_return std::exchange(impl_->flag, false);
    }
    asio::steady_timer timer(co_await asio::this_coro::executor, *deadline);
    auto first = co_await on_strand(async_wait_for_wake(impl_, asio::as_tuple(asio::use_awaitable)) ||
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

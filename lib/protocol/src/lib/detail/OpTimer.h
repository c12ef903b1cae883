#pragma once

// Deadline of one transport operation. The timer runs on the connection's
// strand and, when it expires, emits a cancellation on the slot bound to the
// operation's pending I/O step; a step that completed first wins.

#include "lib/StreamTypes.h"
#include "lib/TransportError.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace vela_client::detail {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// The deadline of an operation that starts now; none when the time-out is
// absent or reaches beyond what the clock can represent.
inline Deadline deadline_after(const Timeout& timeout)
{
    if (!timeout)
        return std::nullopt;
    const auto now = Clock::now();
    auto span = std::max(*timeout, std::chrono::nanoseconds::zero());
    if (std::chrono::duration_cast<Clock::duration>(span) > Clock::time_point::max() - now)
        return std::nullopt;
    return now + std::chrono::duration_cast<Clock::duration>(span);
}

class OpTimer {
public:
    explicit OpTimer(const Strand& strand) : timer_(strand) {}

    // `owner` keeps the timer alive; a stale expiry (an earlier step's) is
    // recognised by its generation and ignored.
    void arm(Clock::time_point at, std::weak_ptr<void> owner)
    {
        expired_ = false;
        const auto generation = ++generation_;
        timer_.expires_at(at);
        timer_.async_wait([this, generation, owner = std::move(owner)](boost::system::error_code ec) {
            if (ec)
                return;
            auto alive = owner.lock();
            if (!alive || generation != generation_)
                return;
            expired_ = true;
            signal_.emit(boost::asio::cancellation_type::terminal);
        });
    }

    void disarm()
    {
        ++generation_;
        timer_.cancel();
    }

    bool expired() const { return expired_; }
    boost::asio::cancellation_slot slot() { return signal_.slot(); }

private:
    boost::asio::steady_timer timer_;
    boost::asio::cancellation_signal signal_;
    std::uint64_t generation_ = 0;
    bool expired_ = false;
};

} // namespace vela_client::detail

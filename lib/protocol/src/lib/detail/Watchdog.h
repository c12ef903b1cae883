#pragma once

// Deadline of the transport operations of one direction (reading or writing)
// of a connection. An operation that finishes without waiting never touches
// the timer; one that has to wait starts the watch, and the timer is only
// re-armed when a deadline earlier than the one it is set for comes along.
// So a stream of operations with the same time-out costs one timer wait per
// time-out period instead of an arm and a cancel per operation.
//
// Everything here runs on the connection's strand. When the deadline of the
// operation being watched passes, a cancellation is emitted on the slot that
// the operation bound to its pending wait; a wait that completed first wins.

#include "lib/StreamTypes.h"
#include "lib/TransportError.h"

#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cassert>
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

inline bool passed(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

class Watchdog {
public:
    explicit Watchdog(const Strand& strand) : timer_(strand), strand_(strand) {}
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Watches a wait of the current operation until stop(). `owner` keeps the
    // watchdog alive while the timer's handler runs.
    void watch(Clock::time_point deadline, const std::weak_ptr<void>& owner)
    {
        assert(strand_.running_in_this_thread());
        deadline_ = deadline;
        active_ = true;
        expired_ = false;
        if (!pending_ || armed_at_ > deadline)
            arm(deadline, owner);
    }

    // The wait is over; the timer stays set for the next operation.
    void stop()
    {
        // An operation that completed off the strand would race the timer's
        // handler here.
        assert(strand_.running_in_this_thread());
        active_ = false;
    }

    // The watched deadline passed while waiting.
    bool expired() const { return expired_; }
    boost::asio::cancellation_slot slot() { return signal_.slot(); }

private:
    void arm(Clock::time_point at, const std::weak_ptr<void>& owner)
    {
        pending_ = true;
        armed_at_ = at;
        const auto generation = ++generation_;
        timer_.expires_at(at);
        timer_.async_wait([this, generation, owner](boost::system::error_code ec) {
            if (ec)
                return;  // re-armed or destroyed: `this` may be gone
            auto alive = owner.lock();
            if (!alive || generation != generation_)
                return;  // a stale expiry of an earlier setting
            pending_ = false;
            if (!active_)
                return;
            if (Clock::now() >= deadline_) {
                expired_ = true;
                signal_.emit(boost::asio::cancellation_type::terminal);
            } else {
                arm(deadline_, owner);  // a later operation's deadline
            }
        });
    }

    boost::asio::steady_timer timer_;
    Strand strand_;
    boost::asio::cancellation_signal signal_;
    Clock::time_point deadline_{};
    Clock::time_point armed_at_{};
    std::uint64_t generation_ = 0;
    bool pending_ = false;
    bool active_ = false;
    bool expired_ = false;
};

} // namespace vela_client::detail

#pragma once
// Clock readings and deadlines shared by the tasks.

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace trevask::measurement_library {

// The monotonic clock's reading in nanoseconds.
inline std::int64_t monotonicNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// begin + timeout on the monotonic clock: a time-out of zero or less gives
// begin, one beyond the clock's range its last instant (no overflow).
inline std::chrono::steady_clock::time_point deadlineAfter(std::chrono::steady_clock::time_point begin,
                                                           std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    if (timeout.count() <= 0) return begin;
    if (timeout > Clock::time_point::max() - begin) return Clock::time_point::max();
    return begin + std::chrono::duration_cast<Clock::duration>(timeout);
}

// Longest time-out a task honours. The QoS server is asked to keep the
// control connection for this long (REQUEST CONN TIMEOUT), so no task that
// waits for its replies can usefully wait longer; a larger configured value
// would only let a control document hold the agent for years.
inline constexpr std::chrono::seconds kMaxTaskTimeout{600};

// The instant by which a task that starts at `begin` with the configured
// time-out ends: every wait, pause and count of the task is cut off there.
inline std::chrono::steady_clock::time_point taskDeadline(std::chrono::steady_clock::time_point begin,
                                                          std::chrono::nanoseconds timeout) {
    return deadlineAfter(begin, std::min<std::chrono::nanoseconds>(timeout, kMaxTaskTimeout));
}

}  // namespace trevask::measurement_library

#pragma once
// The one value every loop of a speed test polls to learn that it must end:
// the caller freed the client (stop flag) or the run passed its deadline.
// Copies share the stop flag and keep their own deadline and start.

#include "Duration.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace vela_client {

using StopFlag = std::shared_ptr<std::atomic<bool>>;

inline StopFlag make_stop_flag() { return std::make_shared<std::atomic<bool>>(false); }

class AbortContext {
public:
    using Clock = std::chrono::steady_clock;

    // Starts now. An absent deadline means only the stop flag ends a run.
    AbortContext(StopFlag stop, std::optional<Duration> deadline);

    // Moves the start to now; copies taken earlier keep their start.
    void restart();
    void restart_at(Clock::time_point now) { start_ = now; }

    // True once the stop flag is set, or when more time than the deadline has
    // passed since the start (exactly the deadline is not yet aborted).
    bool is_aborted() const { return is_aborted_at(Clock::now()); }
    bool is_aborted_at(Clock::time_point now) const;

    const StopFlag& stop_flag() const { return stop_; }
    std::optional<Duration> deadline() const { return deadline_; }
    Clock::time_point start() const { return start_; }

private:
    std::optional<Duration> deadline_;
    StopFlag stop_;
    Clock::time_point start_;
};

}  // namespace vela_client

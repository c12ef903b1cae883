#pragma once

// Progress of a speed-test run. The phases send ProgressRecord values from
// any worker thread into one unbounded channel; forward_progress, the only
// caller of the caller's progress callback, takes them out in sending order.
//
// Percentages: with i phases finished (or failed, or skipped) of n, a phase
// that has come a fraction f of its way reports f × 100 for itself and
// (i + f) / n × 100 overall, in single precision.

#include "AbortContext.h"
#include "AsyncTask.h"
#include "CallingInterfaceRecords.h"
#include "Channels.h"
#include "Duration.h"
#include "PhaseProgress.h"
#include "mclient.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace vela_client {

using ProgressRecord = ProgressReport;
using ProgressReceiver = UnboundedReceiver<ProgressRecord>;

// A record of `kind` at fraction f (0..1) of the phase, the other values absent.
ProgressRecord progress_record(Phase kind, std::uint32_t phase_index, std::uint32_t phase_count, float fraction);

// Tells a thread outside the run's runtime that the forwarder has ended, so
// the run entry can let it deliver the records of a finished run before the
// runtime goes away.
class ForwarderDone {
public:
    void set();
    // False when the time passed first.
    bool wait_for(std::chrono::nanoseconds limit);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// Delivers every record to the callback, one call at a time, until the
// channel is closed and drained, or until the abort context reports an abort
// after a delivered record. Marks `done` when it ends, however it ends.
boost::asio::awaitable<void> forward_progress(ProgressReceiver receiver, mclient_progress_fn callback, AbortContext abort,
                                              std::shared_ptr<ForwarderDone> done = nullptr);

// The progress of a running pretest, from its time alone: a record at once,
// then one every `period` while elapsed / duration stays below 1. The phase
// index is the one at the pretest's start.
struct TickerParams {
    std::chrono::steady_clock::time_point start;
    Duration duration;
    Duration period;
    std::optional<ProgressSender> progress_tx;
    std::uint32_t phase_index = 0;
    std::uint32_t phase_count = 0;
};

// A ticker task started by a pretest; stopping it guarantees that it sends
// nothing afterwards.
class ProgressTicker {
public:
    // Starts downlink_progress_ticker (kind 1) or uplink_progress_ticker (kind 5).
    static ProgressTicker start(const boost::asio::any_io_executor& executor, Phase kind, TickerParams params);

    ProgressTicker() = default;
    ProgressTicker(ProgressTicker&&) noexcept = default;
    ProgressTicker& operator=(ProgressTicker&&) noexcept = default;
    // A ticker dropped while running is stopped.
    ~ProgressTicker();

    bool running() const { return state_ != nullptr; }
    // Stops the ticker without waiting for its task.
    void abort();
    // Stops the ticker and waits until its task has ended.
    boost::asio::awaitable<void> abort_and_wait();

    struct State;

private:
    std::shared_ptr<State> state_;
    JoinHandle<bool> task_;
};

// The two ticker task bodies; identical but for the record kind.
boost::asio::awaitable<bool> downlink_progress_ticker(std::shared_ptr<ProgressTicker::State> state);
boost::asio::awaitable<bool> uplink_progress_ticker(std::shared_ptr<ProgressTicker::State> state);

// Shortest pause between two ticker records: a zero progress interval would
// otherwise flood the channel.
inline constexpr Duration kMinTickerPeriod = Duration::from_millis(10);

} // namespace vela_client

#pragma once

// The run's count of finished phases and its progress reports, shared by the
// phase tasks. Each phase follows one protocol:
//
//   const auto finished = co_await progress.begin_phase(Phase::RttUdp);  // 0 % report
//   ... progress.report(...) while the phase runs ...
//   co_await progress.end_phase(Phase::RttUdp, reported_full);           // 100 % report, count + 1
//
// The count changes only under an asynchronous mutex, and a phase's last
// report is sent while it is held, so totals never run backwards.

#include "CallingInterfaceRecords.h"
#include "Channels.h"
#include "lib/AsyncLock.h"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <optional>

namespace vela_client {

using ProgressSender = UnboundedSender<ProgressReport>;

class PhaseProgress {
public:
    // Without a sender no report is sent, but the count still moves.
    PhaseProgress(std::uint32_t phase_count, std::optional<ProgressSender> sender);
    PhaseProgress(const PhaseProgress&) = delete;
    PhaseProgress& operator=(const PhaseProgress&) = delete;

    // Reads the number of finished phases and sends the phase's first report
    // (phase 0 %, total = finished / phase count). Gives that number.
    boost::asio::awaitable<std::uint32_t> begin_phase(Phase phase);

    // Unless the phase already reported 100 %, sends its last report (phase
    // 100 %, total = (finished + 1) / phase count, with the values of
    // `values`); then counts the phase as finished.
    boost::asio::awaitable<void> end_phase(Phase phase, bool already_full = false, ProgressReport values = {});

    // Total progress in percent after `finished_phases` (may be fractional).
    float total_percent(double finished_phases) const;

    // Sends one report; false without a sender or when the forwarder is gone.
    bool report(const ProgressReport& report) const;
    bool has_sender() const { return sender_.has_value(); }
    std::uint32_t phase_count() const { return phase_count_; }

    // The current count, for tests and log lines.
    boost::asio::awaitable<std::uint32_t> finished();

private:
    AsyncMutex mutex_;
    std::uint32_t finished_ = 0;
    std::uint32_t phase_count_;
    std::optional<ProgressSender> sender_;
};

} // namespace vela_client

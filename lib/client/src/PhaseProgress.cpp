#include "PhaseProgress.h"

namespace asio = boost::asio;

namespace vela_client {

PhaseProgress::PhaseProgress(std::uint32_t phase_count, std::optional<ProgressSender> sender)
    : phase_count_(phase_count), sender_(std::move(sender))
{
}

float PhaseProgress::total_percent(double finished_phases) const
{
    if (phase_count_ == 0)
        return 0.0F;  // no phases: nothing to report a share of
    return static_cast<float>(finished_phases / static_cast<double>(phase_count_) * 100.0);
}

bool PhaseProgress::report(const ProgressReport& report) const { return sender_ && sender_->send(report); }

asio::awaitable<std::uint32_t> PhaseProgress::begin_phase(Phase phase)
{
    std::uint32_t finished = 0;
    {
        auto guard = co_await mutex_.lock();
        finished = finished_;
    }
    ProgressReport start;
    start.phase = phase;
    start.phase_progress = 0.0F;
    start.total_progress = total_percent(finished);
    report(start);
    co_return finished;
}

asio::awaitable<void> PhaseProgress::end_phase(Phase phase, bool already_full, ProgressReport values)
{
    auto guard = co_await mutex_.lock();
    if (!already_full) {
        values.phase = phase;
        values.phase_progress = 100.0F;
        values.total_progress = total_percent(static_cast<double>(finished_) + 1.0);
        report(values);
    }
    ++finished_;
}

asio::awaitable<std::uint32_t> PhaseProgress::finished()
{
    auto guard = co_await mutex_.lock();
    co_return finished_;
}

} // namespace vela_client

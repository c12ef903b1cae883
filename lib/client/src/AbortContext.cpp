#include "AbortContext.h"

#include <utility>

namespace vela_client {

AbortContext::AbortContext(StopFlag stop, std::optional<Duration> deadline)
    : deadline_(deadline), stop_(std::move(stop)), start_(Clock::now())
{
    if (!stop_) {
        // A context always has a flag to poll, even when nobody can set it.
        stop_ = make_stop_flag();
    }
}

void AbortContext::restart() { start_ = Clock::now(); }

bool AbortContext::is_aborted_at(Clock::time_point now) const
{
    if (stop_->load()) {
        return true;
    }
    if (!deadline_ || now <= start_) {
        return false;
    }
    const auto elapsed = Duration::from_chrono(now - start_);
    return elapsed > *deadline_;
}

}  // namespace vela_client

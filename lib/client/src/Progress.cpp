#include "Progress.h"

#include <algorithm>

namespace asio = boost::asio;

namespace vela_client {

ProgressRecord progress_record(Phase kind, std::uint32_t phase_index, std::uint32_t phase_count, float fraction)
{
    ProgressRecord r;
    r.phase = kind;
    r.phase_progress = fraction * 100.0F;
    r.total_progress = phase_count == 0 ? 0.0F
                                        : (static_cast<float>(phase_index) + fraction) / static_cast<float>(phase_count) *
                                              100.0F;
    return r;
}

void ForwarderDone::set()
{
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    cv_.notify_all();
}

bool ForwarderDone::wait_for(std::chrono::nanoseconds limit)
{
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return done_; });
}

namespace {

// Marks the forwarder's end, also when its frame is destroyed unfinished.
struct DoneMark {
    std::shared_ptr<ForwarderDone> done;
    ~DoneMark()
    {
        if (done)
            done->set();
    }
};

} // namespace

asio::awaitable<void> forward_progress(ProgressReceiver receiver, mclient_progress_fn callback, AbortContext abort,
                                       std::shared_ptr<ForwarderDone> done)
{
    DoneMark mark{std::move(done)};
    for (;;) {
        auto got = co_await receiver.recv();
        if (!got)
            break;  // closed and drained
        const mclient_progress record = to_mclient_progress(*got);
        if (callback)
            callback(&record);
        if (abort.is_aborted())
            break;
    }
    receiver.close();
}

struct ProgressTicker::State {
    Phase kind = Phase::DownlinkPretest;
    TickerParams params;
    std::mutex mutex;
    bool stopped = false;
    detail::Waker waker;

    void stop()
    {
        {
            std::lock_guard lock(mutex);
            stopped = true;
        }
        waker.notify();
    }
};

namespace {

asio::awaitable<bool> run_ticker(std::shared_ptr<ProgressTicker::State> state)
{
    using Clock = std::chrono::steady_clock;
    const auto& p = state->params;
    const float duration_s = static_cast<float>(p.duration.secs()) + static_cast<float>(p.duration.subsec_nanos()) / 1e9F;
    const auto period = std::max(p.period, kMinTickerPeriod).to_chrono();
    for (;;) {
        {
            std::lock_guard lock(state->mutex);
            if (state->stopped)
                co_return true;
        }
        const auto elapsed = Duration::from_chrono(Clock::now() - p.start);
        if (elapsed >= p.duration)
            co_return true;
        const float elapsed_s = static_cast<float>(elapsed.secs()) + static_cast<float>(elapsed.subsec_nanos()) / 1e9F;
        const float f = std::min(elapsed_s / duration_s, 1.0F);
        if (f >= 1.0F)
            co_return true;
        if (p.progress_tx) {
            // Checked and sent under the lock: after stop() nothing goes out.
            std::lock_guard lock(state->mutex);
            if (state->stopped)
                co_return true;
            p.progress_tx->send(progress_record(state->kind, p.phase_index, p.phase_count, f));
        }
        co_await state->waker.wait(detail::deadline_from_now(period));
    }
}

} // namespace

asio::awaitable<bool> downlink_progress_ticker(std::shared_ptr<ProgressTicker::State> state)
{
    return run_ticker(std::move(state));
}

asio::awaitable<bool> uplink_progress_ticker(std::shared_ptr<ProgressTicker::State> state)
{
    return run_ticker(std::move(state));
}

ProgressTicker ProgressTicker::start(const asio::any_io_executor& executor, Phase kind, TickerParams params)
{
    ProgressTicker ticker;
    ticker.state_ = std::make_shared<State>();
    ticker.state_->kind = kind;
    ticker.state_->params = std::move(params);
    ticker.task_ = spawn_task(executor, kind == Phase::UplinkPretest ? uplink_progress_ticker(ticker.state_)
                                                                     : downlink_progress_ticker(ticker.state_));
    return ticker;
}

ProgressTicker::~ProgressTicker() { abort(); }

void ProgressTicker::abort()
{
    if (state_) {
        state_->stop();
        state_.reset();
    }
}

asio::awaitable<void> ProgressTicker::abort_and_wait()
{
    if (!state_)
        co_return;
    abort();
    (void)co_await task_.join();
}

} // namespace vela_client

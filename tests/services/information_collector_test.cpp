// The UI's sample stream: one loop per service, samples to the first
// callback, prompt stop, restart with a new callback.

#include "service/InformationCollectorService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using trevask::measurement_library::InformationCallback;
using trevask::measurement_sdk::InformationCollectorService;
using namespace std::chrono_literals;

namespace {

struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;

    auto callback() {
        return [this](std::shared_ptr<InformationCallback> sample) {
            if (!sample) return;
            std::lock_guard lock(mutex);
            ++count;
            changed.notify_all();
        };
    }
    bool waitFor(int n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return count >= n; });
    }
    int value() {
        std::lock_guard lock(mutex);
        return count;
    }
};

}  // namespace

TEST(InformationCollectorService, StreamsToTheFirstCallbackAndStopsPromptly) {
    InformationCollectorService service;
    service.stop();  // not running: returns at once
    EXPECT_FALSE(service.isRunning());

    Counter first;
    Counter second;
    service.start(first.callback());
    service.start(second.callback());
    EXPECT_TRUE(service.isRunning());
    ASSERT_TRUE(first.waitFor(1, 3s));

    // The loop sleeps most of its one-second period; stop must wake it.
    const auto before = std::chrono::steady_clock::now();
    service.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_FALSE(service.isRunning());
    const int afterStop = first.value();
    EXPECT_EQ(second.value(), 0);

    // A new start after stop installs the new callback.
    service.start(second.callback());
    ASSERT_TRUE(second.waitFor(1, 3s));
    service.stop();
    EXPECT_EQ(first.value(), afterStop);
}

TEST(InformationCollectorService, DestroyingARunningServiceEndsItsLoop) {
    Counter samples;
    const auto before = std::chrono::steady_clock::now();
    {
        InformationCollectorService service;
        service.start(samples.callback());
        ASSERT_TRUE(samples.waitFor(1, 3s));
    }
    const int atEnd = samples.value();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(samples.value(), atEnd);
}

#include <gtest/gtest.h>

#include "tasks/MeasurementCallbacks.h"

#include <atomic>
#include <thread>

namespace vela = trevask::vela;

// Restores a slot's function when the test ends.
template <typename Slot>
struct SlotGuard {
    Slot& slot;
    typename Slot::Function saved = slot.get();
    ~SlotGuard() { slot.set(saved); }
};

TEST(MeasurementCallbacks, DefaultsPrintTheirFixedLines) {
    testing::internal::CaptureStderr();
    vela::errorCallback(std::make_shared<vela::ErrorCallback>("socket closed", 8));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ErrorCallback: received error\n");

    testing::internal::CaptureStdout();
    auto update = std::make_shared<vela::QosProgressUpdate>();
    update->progress = 0.5;
    vela::qosProgressCallback(update);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Qos progress update! 0.5\n");

    testing::internal::CaptureStdout();
    vela::logCallback("key", "value");
    vela::intermediateMeasurementCallback(vela::IntermediateMeasurementCallback{});
    vela::fullMeasurementCallback(std::make_shared<vela::FullMeasurementCallback>());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "key: value\n");

    testing::internal::CaptureStderr();
    vela::errorLogCallback("key", "value");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "key: value\n");
}

TEST(MeasurementCallbacks, TakeLeavesTheSlotEmptyAndSetPutsItBack) {
    SlotGuard<decltype(vela::intermediateMeasurementCallback)> guard{vela::intermediateMeasurementCallback};
    int calls = 0;
    vela::intermediateMeasurementCallback = [&](const vela::IntermediateMeasurementCallback&) { ++calls; };
    auto taken = vela::intermediateMeasurementCallback.take();
    EXPECT_FALSE(vela::intermediateMeasurementCallback);
    EXPECT_THROW(vela::intermediateMeasurementCallback(vela::IntermediateMeasurementCallback{}),
                 std::bad_function_call);
    vela::intermediateMeasurementCallback.set(taken);
    vela::intermediateMeasurementCallback(vela::IntermediateMeasurementCallback{});
    EXPECT_EQ(calls, 1);
}

// A slot replaced on one thread while others call it: every call reaches one
// complete function, never a half-swapped one.
TEST(MeasurementCallbacks, SwappingWhileCallingIsSafe) {
    SlotGuard<decltype(vela::intermediateMeasurementCallback)> guard{vela::intermediateMeasurementCallback};
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            vela::IntermediateMeasurementCallback record;
            while (!stop) vela::intermediateMeasurementCallback(record);
        });
    }
    for (int i = 0; i < 20000; ++i) {
        std::string owned(64, 'x');  // a capture that must stay alive while called
        vela::intermediateMeasurementCallback = [&calls, owned](const vela::IntermediateMeasurementCallback&) {
            if (owned.size() == 64) ++calls;
        };
    }
    stop = true;
    for (auto& t : callers) t.join();
    EXPECT_GT(calls.load(), 0);
}

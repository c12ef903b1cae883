#include <gtest/gtest.h>

#include "tasks/MeasurementCallbacks.h"

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
// complete function, never a half-swapped or already destroyed one, and the
// callers do see the replacements while they call.
TEST(MeasurementCallbacks, SwappingWhileCallingIsSafe) {
    SlotGuard<decltype(vela::intermediateMeasurementCallback)> guard{vela::intermediateMeasurementCallback};
    constexpr int kCallers = 3;
    constexpr int kMinimumSwaps = 20000;
    static thread_local int lastGeneration = -1;  // written by the called function, on the caller's thread
    std::atomic<long> made{0};
    std::atomic<long> intact{0};
    std::atomic<long> broken{0};
    std::atomic<int> callersThatSawASwap{0};
    std::atomic<bool> stop{false};

    auto functionOfGeneration = [&](int generation) {
        // The capture must still be whole when the call runs.
        std::string owned(64, static_cast<char>('a' + generation % 26));
        return [&, generation, owned](const vela::IntermediateMeasurementCallback&) {
            if (owned == std::string(64, static_cast<char>('a' + generation % 26)))
                ++intact;
            else
                ++broken;
            lastGeneration = generation;
        };
    };
    vela::intermediateMeasurementCallback = functionOfGeneration(0);

    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&] {
            vela::IntermediateMeasurementCallback record;
            std::set<int> seen;
            bool counted = false;
            while (!stop) {
                vela::intermediateMeasurementCallback(record);
                ++made;
                seen.insert(lastGeneration);
                if (!counted && seen.size() >= 2) {
                    counted = true;
                    ++callersThatSawASwap;
                }
            }
        });
    }
    // Swap at least kMinimumSwaps times, and on until every caller has met a
    // replacement (bounded).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int generation = 1;
    while (generation <= kMinimumSwaps ||
           (callersThatSawASwap.load() < kCallers && std::chrono::steady_clock::now() < deadline)) {
        vela::intermediateMeasurementCallback = functionOfGeneration(generation++);
    }
    stop = true;
    for (auto& t : callers) t.join();

    EXPECT_EQ(broken.load(), 0);
    EXPECT_GT(made.load(), 0);
    EXPECT_EQ(intact.load(), made.load());  // every call reached a whole function
    EXPECT_EQ(callersThatSawASwap.load(), kCallers);
}

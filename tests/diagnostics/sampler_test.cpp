// The system-information sampler on the real machine.

#include "helper/system/WindowsSystemInformationService.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

using trevask::measurement_library::CollectInformationFunctor;
using trevask::measurement_library::InformationCallback;
using trevask::measurement_library::WindowsSystemInformationService;
using namespace std::chrono_literals;

namespace {

// Collects samples from the sampler thread.
struct Samples {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<InformationCallback>> items;
    std::vector<std::thread::id> threads;

    auto callback() {
        return [this](std::shared_ptr<InformationCallback> sample) {
            {
                std::lock_guard lock(mutex);
                items.push_back(std::move(sample));
                threads.push_back(std::this_thread::get_id());
            }
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return items.size() >= count; });
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return items.size();
    }
};

}  // namespace

TEST(Sampler, DeliversFractionsOnItsOwnThread) {
    Samples samples;
    WindowsSystemInformationService service;
    service.start(samples.callback(), 100);
    ASSERT_TRUE(samples.waitFor(3, 5s));
    service.stop();
    EXPECT_FALSE(service.isRunning());
    std::lock_guard lock(samples.mutex);
    for (std::size_t i = 0; i < samples.items.size(); ++i) {
        const auto& sample = *samples.items[i];
        EXPECT_NE(samples.threads[i], std::this_thread::get_id());
        ASSERT_TRUE(sample.cpuRam);
        ASSERT_TRUE(sample.cpuRam->ramUsage);
        EXPECT_GE(*sample.cpuRam->ramUsage, 0.0f);
        EXPECT_LE(*sample.cpuRam->ramUsage, 1.0f);
        if (sample.cpuRam->cpuUsage) {
            EXPECT_GE(*sample.cpuRam->cpuUsage, 0.0f);
            EXPECT_LE(*sample.cpuRam->cpuUsage, 1.0f);
        }
        EXPECT_TRUE(sample.traffic);
        ASSERT_TRUE(sample.networkTypeId);
        EXPECT_TRUE(*sample.networkTypeId == 95 || *sample.networkTypeId == 98 || *sample.networkTypeId == 99);
        ASSERT_TRUE(sample.technology);
        EXPECT_EQ(*sample.technology, *sample.networkTypeId == 98 ? "LAN" : *sample.networkTypeId == 99 ? "WLAN" : "UNKNOWN");
        EXPECT_FALSE(sample.providerName);
    }
    EXPECT_EQ(service.latestSample(), samples.items.back());
}

TEST(Sampler, StartsOnceAndRestartsAfterStop) {
    Samples first;
    Samples second;
    WindowsSystemInformationService service;
    service.start(first.callback(), 50);
    service.start(second.callback(), 50);  // running: ignored
    ASSERT_TRUE(first.waitFor(2, 5s));
    service.stop();
    EXPECT_EQ(second.size(), 0u);
    auto delivered = first.size();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(first.size(), delivered);  // nothing after stop

    service.start(second.callback(), 50);
    ASSERT_TRUE(second.waitFor(1, 5s));
    service.stop();
    service.stop();  // stopping an idle service is harmless
}

TEST(Sampler, StopsPromptlyDuringTheSleep) {
    Samples samples;
    auto service = std::make_unique<WindowsSystemInformationService>();
    service->start(samples.callback(), 60000);
    std::this_thread::sleep_for(300ms);  // the loop is asleep now
    auto start = std::chrono::steady_clock::now();
    service->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(samples.size(), 0u);

    // The destructor stops a running sampler just as promptly.
    service->start(samples.callback(), 60000);
    std::this_thread::sleep_for(100ms);
    start = std::chrono::steady_clock::now();
    service.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(Sampler, TrafficDeltas) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t previous;
        std::uint64_t current;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {0, 500, std::nullopt},      // no previous reading
        {100, 150, 50},
        {100, 100, 0},
        {150, 100, std::nullopt},    // the interface was reset: no wrapped delta
        {max - 1, max, 1},
        {max, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CollectInformationFunctor::counterDelta(c.previous, c.current), c.expected)
            << c.previous << " -> " << c.current;
    }
}

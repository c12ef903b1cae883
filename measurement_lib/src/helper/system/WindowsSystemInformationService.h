#pragma once
// Samples CPU, memory, interface traffic and the network kind once per
// period on a thread of its own and hands every sample to a callback.

#include "helper/system/InformationCallback.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace lumivex::platform {
class PerformanceQuery;
}

namespace trevask::measurement_library {

using InformationCallbackFunction = std::function<void(std::shared_ptr<InformationCallback>)>;

// The stop signal shared by a service and its loop: the flag plus a way to
// wake the loop from its sleep.
struct SamplerStop {
    std::atomic<bool>* running = nullptr;
    std::mutex* mutex = nullptr;
    std::condition_variable* wake = nullptr;
};

// The sampling loop; run once, on the loop's own thread.
class CollectInformationFunctor {
public:
    CollectInformationFunctor(std::int64_t periodMs, InformationCallbackFunction callback, SamplerStop stop);
    ~CollectInformationFunctor();
    CollectInformationFunctor(const CollectInformationFunctor&) = delete;
    CollectInformationFunctor& operator=(const CollectInformationFunctor&) = delete;

    void operator()();

    // (sent bytes, received bytes) of the interface; (0, 0) when unreadable.
    static std::pair<std::uint64_t, std::uint64_t> getInterfaceOctets(std::int32_t index);
    // Bytes moved since the previous reading: none without a previous
    // reading (0) and none when the counter went backwards (reset interface).
    static std::optional<std::uint64_t> counterDelta(std::uint64_t previous, std::uint64_t current);

private:
    bool isRunning() const { return stop_.running != nullptr && stop_.running->load(); }
    // Sleeps until the deadline; false when woken because sampling stops.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline);

    std::int64_t periodMs_;
    InformationCallbackFunction callback_;
    SamplerStop stop_;
    std::unique_ptr<lumivex::platform::PerformanceQuery> query_;
};

class WindowsSystemInformationService {
public:
    WindowsSystemInformationService() = default;
    ~WindowsSystemInformationService();
    WindowsSystemInformationService(const WindowsSystemInformationService&) = delete;
    WindowsSystemInformationService& operator=(const WindowsSystemInformationService&) = delete;

    // Starts sampling; does nothing while sampling runs (the new callback is dropped).
    void start(InformationCallbackFunction callback, std::uint64_t periodMs);
    // Ends sampling; wakes the loop from its sleep and waits for it to end.
    void stop();
    void onInformation(std::shared_ptr<InformationCallback> sample);

    std::shared_ptr<InformationCallback> latestSample() const;
    bool isRunning() const { return running_.load(); }

private:
    mutable std::mutex latestMutex_;
    std::shared_ptr<InformationCallback> latest_;
    std::atomic<bool> running_{false};
    InformationCallbackFunction callback_;
    std::future<void> loop_;
    std::unique_ptr<CollectInformationFunctor> functor_;
    std::mutex lifecycleMutex_;  // start and stop from different threads
    std::mutex wakeMutex_;
    std::condition_variable wake_;
};

}  // namespace trevask::measurement_library

#pragma once
// The machine figures of one measurement run: CPU and memory load over the
// whole run (from a system-information sampler) and the network-interface
// traffic seen while the speed test ran, split into download, upload and
// total. Traffic is attributed to a phase by listening to the speed test's
// intermediate results; after the run it is written into the speed-test
// results, with the speed test's own byte counts (+4 %) as lower bounds.
//
// Threads: start, stop, onTaskStarting and applyInterfaceTraffic run on the
// measurement worker; recordSample on the sampler's thread;
// onIntermediateResult on the speed test's progress thread. The collector's
// figures are guarded by one lock; the hook it installs into the global
// intermediate callback keeps that state and the host's function alive, so a
// hook copied by a producer just before it was removed never reaches a
// destroyed collector and still hands the record to the host.

#include "model/UsageSample.h"
#include "helper/system/WindowsSystemHelper.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trevask::vela {
struct IntermediateMeasurementCallback;
}

namespace trevask::measurement_library {

struct InformationCallback;
struct TaskResult;
struct VelaThroughputSummary;
class WindowsSystemInformationService;

// One processor or memory sample (model/UsageSample.h): here its time is the
// system clock in nanoseconds since 1970.

struct SysInfoData {
    // The interface that was active when the collector stopped.
    std::unique_ptr<NetworkInterfaceInfo> interface;
    std::vector<UsageSample> memorySamples;
    std::vector<UsageSample> cpuSamples;
};

// Interface byte counts attributed so far (rx received, tx sent).
struct InterfaceTrafficCounts {
    std::uint64_t uploadRx = 0;
    std::uint64_t uploadTx = 0;
    std::uint64_t downloadRx = 0;
    std::uint64_t downloadTx = 0;
    std::uint64_t totalRx = 0;
    std::uint64_t totalTx = 0;
};

class SysInfoCollector {
public:
    // Sampling period the executor uses.
    static constexpr std::uint64_t kDefaultPeriodMs = 1000;

    SysInfoCollector();
    // Ends tracking (restoring the global intermediate callback), stops the
    // sampler and discards what it still holds.
    ~SysInfoCollector();

    SysInfoCollector(const SysInfoCollector&) = delete;
    SysInfoCollector& operator=(const SysInfoCollector&) = delete;

    // Starts sampling once per period, discarding an earlier sampling.
    // Always true. The byte counts are not reset.
    bool start(std::uint64_t periodMs);
    // Stops sampling and hands over what was collected; null without start.
    std::unique_ptr<SysInfoData> stop();

    // Called with the type key of every task right before it starts. A
    // speed-test key ("VELA", "NATIVE_VELA") switches traffic tracking on and
    // puts the collector's hook in front of the global intermediate
    // callback; any other key switches it off and puts the callback back.
    // Returns whether tracking is on.
    bool onTaskStarting(const std::string& taskType);
    // Called once after the last task group: ends tracking and writes the
    // traffic records into every speed-test result of the list.
    void applyInterfaceTraffic(std::vector<std::unique_ptr<TaskResult>>& results);

    // The sampler's callback.
    void recordSample(std::shared_ptr<InformationCallback> sample);
    // The hook in the global intermediate callback while tracking.
    void onIntermediateResult(const vela::IntermediateMeasurementCallback& result);
    // Ends tracking and restores the global intermediate callback.
    void resetTrafficTracking();

    // Sum of the byte-count texts of the records; empty texts, texts without
    // a leading number, negative and out-of-range values add nothing. The
    // sum saturates instead of wrapping.
    static std::uint64_t sumByteCounts(const std::vector<VelaThroughputSummary>& records);

    InterfaceTrafficCounts trafficCounts() const;
    bool isTrackingTraffic() const;

private:
    struct State;
    std::shared_ptr<State> state;
    std::unique_ptr<WindowsSystemInformationService> service;
};

}  // namespace trevask::measurement_library

// The measurement's system-information collector: traffic attribution, the
// speed test's byte counts as lower bounds, the global intermediate
// callback's swap and restore, and the sampler's life cycle.

#include "EngineTestSupport.h"

#include "helper/SysInfoCollector.h"
#include "helper/system/InformationCallback.h"
#include "model/result/VelaTaskResult.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

using namespace engine_test;
using namespace std::chrono_literals;
namespace vela = trevask::vela;

namespace {

std::shared_ptr<InformationCallback> traffic(std::uint64_t rx, std::uint64_t tx) {
    auto sample = std::make_shared<InformationCallback>();
    sample->traffic = TrafficInformation{rx, tx};
    return sample;
}

void progress(const std::string& phase, bool pretest) {
    vela::IntermediateMeasurementCallback record;
    record.currentPhase = phase;
    record.isPretest = pretest;
    vela::intermediateMeasurementCallback(record);
}

// Installs a recording function into the global intermediate callback and
// puts the previous one back at the end.
class IntermediateRecorder {
public:
    IntermediateRecorder() : saved(vela::intermediateMeasurementCallback.take()) {
        vela::intermediateMeasurementCallback = [this](const vela::IntermediateMeasurementCallback& r) {
            phases.push_back(r.currentPhase);
        };
    }
    ~IntermediateRecorder() { vela::intermediateMeasurementCallback.set(saved); }
    std::vector<std::string> phases;

private:
    decltype(vela::intermediateMeasurementCallback)::Function saved;
};

VelaThroughputSummary summaryOf(std::string bytes) {
    VelaThroughputSummary summary;
    summary.bytes = std::move(bytes);
    return summary;
}

std::unique_ptr<TaskResult> velaResult(std::string type, std::vector<std::string> download,
                                       std::vector<std::string> upload) {
    auto result = std::make_unique<VelaTaskResult>();
    result->objective_task_type = std::move(type);
    for (auto& b : download) result->download_summaries.push_back(summaryOf(std::move(b)));
    for (auto& b : upload) result->upload_summaries.push_back(summaryOf(std::move(b)));
    return result;
}

}  // namespace

TEST(SysInfoCollector, TrafficIsAttributedToThePhaseOfTheSpeedTest) {
    IntermediateRecorder host;
    SysInfoCollector collector;
    collector.recordSample(traffic(1, 1));  // not tracking: ignored
    EXPECT_TRUE(collector.onTaskStarting("NATIVE_VELA"));

    progress("init", false);
    collector.recordSample(traffic(10, 1));  // total only
    progress("download", true);
    collector.recordSample(traffic(20, 2));  // pretest: total only
    progress("download", false);
    collector.recordSample(traffic(300, 30));
    progress("upload", true);
    collector.recordSample(traffic(40, 400));  // pretest: total only
    progress("upload", false);
    collector.recordSample(traffic(50, 5000));
    auto partial = std::make_shared<InformationCallback>();
    partial->traffic = TrafficInformation{std::nullopt, 7};
    collector.recordSample(partial);

    EXPECT_TRUE(collector.onTaskStarting("VELA"));  // already tracking: nothing changes
    EXPECT_FALSE(collector.onTaskStarting("TCP"));  // tracking ends
    collector.recordSample(traffic(1000, 1000));

    const auto counts = collector.trafficCounts();
    EXPECT_EQ(counts.totalRx, 10u + 20 + 300 + 40 + 50);
    EXPECT_EQ(counts.totalTx, 1u + 2 + 30 + 400 + 5000 + 7);
    EXPECT_EQ(counts.downloadRx, 300u);
    EXPECT_EQ(counts.downloadTx, 30u);
    EXPECT_EQ(counts.uploadRx, 50u);
    EXPECT_EQ(counts.uploadTx, 5007u);
    // The host saw every record, unchanged and in order.
    EXPECT_EQ(host.phases, (std::vector<std::string>{"init", "download", "download", "upload", "upload"}));
}

TEST(SysInfoCollector, SpeedTestByteCountsAreLowerBounds) {
    struct Case {
        const char* label;
        std::uint64_t downloadRx, uploadTx;   // interface bytes in the phases
        std::string downloadBytes, uploadBytes;  // the speed test's own counts
        std::uint64_t expectDownloadRx, expectUploadTx, expectTotalRx, expectTotalTx;
    };
    // Each run also sees 100 received / 10 sent outside the phases.
    const std::vector<Case> cases = {
        {"interface below the test", 900, 900, "1000", "1000", 1040, 1040, 1000 + 140, 910 + 140},
        {"interface above the test", 5000, 6000, "1000", "1000", 5000, 6000, 5100, 6010},
        {"no byte counts", 900, 900, "", "abc", 900, 900, 1000, 910},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        IntermediateRecorder host;
        SysInfoCollector collector;
        collector.onTaskStarting("NATIVE_VELA");
        progress("init", false);
        collector.recordSample(traffic(100, 10));
        progress("download", false);
        collector.recordSample(traffic(c.downloadRx, 0));
        progress("upload", false);
        collector.recordSample(traffic(0, c.uploadTx));

        std::vector<std::unique_ptr<TaskResult>> results;
        results.push_back(velaResult("NATIVE_VELA", {c.downloadBytes}, {c.uploadBytes}));
        results.push_back(nullptr);
        auto plain = std::make_unique<TaskResult>();
        plain->objective_task_type = "NATIVE_VELA";  // not a speed result: passed over
        results.push_back(std::move(plain));
        results.push_back(velaResult("native_vela", {"1"}, {"1"}));  // type text must match exactly
        collector.applyInterfaceTraffic(results);

        ASSERT_EQ(results.size(), 4u);
        const auto& speed = dynamic_cast<const VelaTaskResult&>(*results[0]);
        ASSERT_TRUE(speed.download_measurement_traffic && speed.upload_measurement_traffic && speed.total_traffic);
        EXPECT_EQ(speed.download_measurement_traffic->bytes_rx, c.expectDownloadRx);
        EXPECT_EQ(speed.download_measurement_traffic->bytes_tx, 0u);
        EXPECT_EQ(speed.upload_measurement_traffic->bytes_tx, c.expectUploadTx);
        EXPECT_EQ(speed.upload_measurement_traffic->bytes_rx, 0u);
        EXPECT_EQ(speed.total_traffic->bytes_rx, c.expectTotalRx);
        EXPECT_EQ(speed.total_traffic->bytes_tx, c.expectTotalTx);
        EXPECT_FALSE(dynamic_cast<const VelaTaskResult&>(*results[3]).total_traffic);
    }
}

TEST(SysInfoCollector, ByteCountSumSkipsWhatDoesNotParse) {
    std::vector<VelaThroughputSummary> records;
    for (const char* text : {"100", "", "abc", "-5", " 7", "+3", "12 ms", "99999999999999999999999"})
        records.push_back(summaryOf(text));
    EXPECT_EQ(SysInfoCollector::sumByteCounts(records), 100u + 7 + 3 + 12);
    EXPECT_EQ(SysInfoCollector::sumByteCounts({}), 0u);
    const auto max = std::to_string(std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(SysInfoCollector::sumByteCounts({summaryOf(max), summaryOf(max)}),
              std::numeric_limits<std::uint64_t>::max());
}

// The function taken out of the global slot goes back: when another task
// type starts, after the run, when the collector dies, and also when the
// slot was empty.
TEST(SysInfoCollector, InterceptedCallbackIsRestored) {
    IntermediateRecorder host;
    auto isHost = [&] {
        const auto before = host.phases.size();
        progress("probe", false);
        return host.phases.size() == before + 1;
    };
    {
        SysInfoCollector collector;
        collector.onTaskStarting("NATIVE_VELA");
        EXPECT_TRUE(isHost());  // forwarded through the hook
        collector.onTaskStarting("UDP");
        progress("download", false);
        collector.recordSample(traffic(5, 5));
        EXPECT_EQ(collector.trafficCounts().downloadRx, 0u);  // the hook is gone

        collector.onTaskStarting("NATIVE_VELA");
        std::vector<std::unique_ptr<TaskResult>> none;
        collector.applyInterfaceTraffic(none);
        EXPECT_FALSE(collector.isTrackingTraffic());
        progress("download", false);
        collector.recordSample(traffic(5, 5));
        EXPECT_EQ(collector.trafficCounts().downloadRx, 0u);

        collector.onTaskStarting("VELA");
    }  // destroyed while tracking
    EXPECT_TRUE(isHost());
    progress("x", false);

    auto saved = vela::intermediateMeasurementCallback.take();
    {
        SysInfoCollector collector;
        collector.onTaskStarting("NATIVE_VELA");
        EXPECT_TRUE(vela::intermediateMeasurementCallback);
        collector.resetTrafficTracking();
        EXPECT_FALSE(vela::intermediateMeasurementCallback);  // empty again, as it was
    }
    vela::intermediateMeasurementCallback.set(saved);
}

// A producer copied the hook just before the collector went away (the
// speed test reports from its own thread): the late call reaches the host,
// once, and the slot holds the host's function again.
TEST(SysInfoCollector, HookOutlivingItsCollectorIsHarmless) {
    IntermediateRecorder host;
    decltype(vela::intermediateMeasurementCallback)::Function copied;
    {
        SysInfoCollector collector;
        collector.onTaskStarting("NATIVE_VELA");
        copied = vela::intermediateMeasurementCallback.get();
        progress("download", false);  // through the hook while tracking
        EXPECT_EQ(host.phases, (std::vector<std::string>{"download"}));
    }
    ASSERT_TRUE(copied);
    vela::IntermediateMeasurementCallback late;
    late.currentPhase = "upload";
    EXPECT_NO_THROW(copied(late));
    EXPECT_EQ(host.phases, (std::vector<std::string>{"download", "upload"}));

    // The slot leads to the host directly: one call, one record.
    progress("rtt", false);
    EXPECT_EQ(host.phases, (std::vector<std::string>{"download", "upload", "rtt"}));

    // A new collector is not disturbed by the old hook: it counts traffic
    // for the phase its own hook saw, not for the late one.
    SysInfoCollector next;
    next.onTaskStarting("NATIVE_VELA");
    progress("download", false);
    late.currentPhase = "upload";
    copied(late);  // the old hook: reaches the host, leaves `next` alone
    next.recordSample(traffic(100, 10));
    const auto counts = next.trafficCounts();
    EXPECT_EQ(counts.downloadRx, 100u);
    EXPECT_EQ(counts.uploadRx, 0u);
    EXPECT_EQ(host.phases.back(), "upload");
}

TEST(SysInfoCollector, SamplingLifeCycle) {
    SysInfoCollector idle;
    EXPECT_EQ(idle.stop(), nullptr);  // stop without start

    SysInfoCollector collector;
    collector.recordSample(traffic(1, 1));
    EXPECT_TRUE(collector.start(30));
    auto cpuRam = std::make_shared<InformationCallback>();
    cpuRam->cpuRam = CpuRamInformation{0.25f, std::numeric_limits<float>::quiet_NaN()};
    collector.recordSample(cpuRam);
    std::this_thread::sleep_for(200ms);
    auto data = collector.stop();
    ASSERT_NE(data, nullptr);
    ASSERT_NE(data->interface, nullptr);
    ASSERT_FALSE(data->cpuSamples.empty());
    EXPECT_EQ(data->cpuSamples.front().value, 0.25);
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_GT(data->cpuSamples.front().relative_time_ns, now - 60'000'000'000LL);
    // The real sampler delivered memory loads; the NaN one was dropped.
    EXPECT_FALSE(data->memorySamples.empty());
    for (const auto& s : data->memorySamples) EXPECT_TRUE(s.value >= 0 && s.value <= 1);
    EXPECT_EQ(collector.stop(), nullptr);  // handed over: nothing left
}

// The speed test reports progress from its own thread while the runner's
// thread swaps the hook in and out; the host keeps receiving records and
// ends up in the slot again.
TEST(SysInfoCollector, SwapWhileTheSpeedTestReports) {
    auto saved = vela::intermediateMeasurementCallback.take();
    std::atomic<int> hostCalls{0};
    auto host = [&hostCalls](const vela::IntermediateMeasurementCallback& r) {
        if (r.currentPhase == "download") ++hostCalls;
    };
    vela::intermediateMeasurementCallback = host;
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        vela::IntermediateMeasurementCallback record;
        record.currentPhase = "download";
        while (!stop) {
            // As the speed test does: copy, test, call.
            if (auto f = vela::intermediateMeasurementCallback.get()) f(record);
        }
    });
    auto waitForMoreCalls = [&](int than) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (hostCalls.load() <= than && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        return hostCalls.load() > than;
    };
    ASSERT_TRUE(waitForMoreCalls(0));
    {
        SysInfoCollector collector;
        for (int i = 0; i < 2000; ++i) {
            collector.onTaskStarting("NATIVE_VELA");
            collector.recordSample(traffic(1, 1));
            collector.onTaskStarting("DNS");
        }
        collector.onTaskStarting("NATIVE_VELA");
    }  // destroyed while tracking
    EXPECT_TRUE(waitForMoreCalls(hostCalls.load()));  // the host is reached again
    stop = true;
    reporter.join();
    EXPECT_EQ(vela::intermediateMeasurementCallback.get().target_type(), typeid(host));
    vela::intermediateMeasurementCallback.set(saved);
}

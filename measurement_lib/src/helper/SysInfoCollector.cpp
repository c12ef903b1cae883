#include "helper/SysInfoCollector.h"

#include "helper/system/InformationCallback.h"
#include "helper/system/WindowsSystemInformationService.h"
#include "model/result/VelaTaskResult.h"
#include "tasks/MeasurementCallbacks.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>

namespace trevask::measurement_library {

namespace {

using IntermediateFunction = decltype(vela::intermediateMeasurementCallback)::Function;

bool isSpeedTestType(const std::string& type) { return type == "VELA" || type == "NATIVE_VELA"; }

std::int64_t wallClockNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

// value * 1.04 in double precision, truncated; saturates above the range.
std::uint64_t withMargin(std::uint64_t value) {
    const double scaled = static_cast<double>(value) * 1.04;
    if (scaled >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(scaled);
}

// Optional leading white space and "+", then digits; anything after the
// digits is ignored. No digits, a minus sign or an overflow: no value.
bool parseByteCount(const std::string& text, std::uint64_t& out) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    const std::size_t first = i;
    std::uint64_t value = 0;
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
        ++i;
    }
    if (i == first) return false;
    out = value;
    return true;
}

}  // namespace

struct SysInfoCollector::State {
    mutable std::mutex mutex;
    std::unique_ptr<SysInfoData> data;
    bool trafficTracking = false;
    // True while our hook sits in the global intermediate callback; the
    // function taken out of the slot is then in forwardIntermediate (it may
    // be empty, and is put back all the same).
    bool hookInstalled = false;
    IntermediateFunction forwardIntermediate;
    InterfaceTrafficCounts counts;
    std::string currentPhase;
    bool isPretest = false;

    void onIntermediate(const vela::IntermediateMeasurementCallback& result) {
        IntermediateFunction forward;
        {
            std::lock_guard lock(mutex);
            currentPhase = result.currentPhase;
            isPretest = result.isPretest;
            forward = forwardIntermediate;
        }
        if (forward) forward(result);
    }

    // The hook's own path: it forwards to the function it replaced, which it
    // keeps, so a producer that copied the hook just before tracking ended
    // still reaches the host. Phases are noted only while tracking.
    void onHookedIntermediate(const vela::IntermediateMeasurementCallback& result,
                              const IntermediateFunction& forward) {
        {
            std::lock_guard lock(mutex);
            if (trafficTracking) {
                currentPhase = result.currentPhase;
                isPretest = result.isPretest;
            }
        }
        if (forward) forward(result);
    }

    void record(const InformationCallback& sample) {
        const std::int64_t now = wallClockNowNs();
        std::lock_guard lock(mutex);
        if (data && sample.cpuRam) {
            const auto& cpuRam = *sample.cpuRam;
            if (cpuRam.cpuUsage && std::isfinite(*cpuRam.cpuUsage))
                data->cpuSamples.push_back({static_cast<double>(*cpuRam.cpuUsage), now});
            if (cpuRam.ramUsage && std::isfinite(*cpuRam.ramUsage))
                data->memorySamples.push_back({static_cast<double>(*cpuRam.ramUsage), now});
        }
        if (trafficTracking && sample.traffic) {
            const std::uint64_t rx = sample.traffic->rxBytes.value_or(0);
            const std::uint64_t tx = sample.traffic->txBytes.value_or(0);
            counts.totalRx = saturatingAdd(counts.totalRx, rx);
            counts.totalTx = saturatingAdd(counts.totalTx, tx);
            if (currentPhase == "download" && !isPretest) {
                counts.downloadRx = saturatingAdd(counts.downloadRx, rx);
                counts.downloadTx = saturatingAdd(counts.downloadTx, tx);
            } else if (currentPhase == "upload" && !isPretest) {
                counts.uploadRx = saturatingAdd(counts.uploadRx, rx);
                counts.uploadTx = saturatingAdd(counts.uploadTx, tx);
            }
        }
    }
};

SysInfoCollector::SysInfoCollector() : state(std::make_shared<State>()) {}

SysInfoCollector::~SysInfoCollector() {
    resetTrafficTracking();
    if (service) service->stop();
    service.reset();
}

bool SysInfoCollector::start(std::uint64_t periodMs) {
    if (service) {
        service->stop();
        service.reset();
    }
    {
        std::lock_guard lock(state->mutex);
        state->data = std::make_unique<SysInfoData>();
    }
    service = std::make_unique<WindowsSystemInformationService>();
    service->start([s = state](std::shared_ptr<InformationCallback> sample) {
        if (sample) s->record(*sample);
    }, periodMs);
    return true;
}

std::unique_ptr<SysInfoData> SysInfoCollector::stop() {
    if (service) {
        service->stop();
        service.reset();
    }
    std::unique_ptr<SysInfoData> data;
    {
        std::lock_guard lock(state->mutex);
        data = std::move(state->data);
    }
    if (data) data->interface = WindowsSystemHelper::getActiveNetworkInterface();
    return data;
}

bool SysInfoCollector::onTaskStarting(const std::string& taskType) {
    if (!isSpeedTestType(taskType)) {
        resetTrafficTracking();
        return false;
    }
    {
        std::lock_guard lock(state->mutex);
        // The global callback already leads here.
        if (state->trafficTracking) return true;
        state->trafficTracking = true;
    }
    IntermediateFunction taken = vela::intermediateMeasurementCallback.take();
    {
        std::lock_guard lock(state->mutex);
        state->forwardIntermediate = taken;
        state->hookInstalled = true;
    }
    vela::intermediateMeasurementCallback.set(
        [s = state, forward = std::move(taken)](const vela::IntermediateMeasurementCallback& result) {
            s->onHookedIntermediate(result, forward);
        });
    return true;
}

void SysInfoCollector::onIntermediateResult(const vela::IntermediateMeasurementCallback& result) {
    state->onIntermediate(result);
}

void SysInfoCollector::recordSample(std::shared_ptr<InformationCallback> sample) {
    if (sample) state->record(*sample);
}

void SysInfoCollector::resetTrafficTracking() {
    IntermediateFunction restore;
    bool installed = false;
    {
        std::lock_guard lock(state->mutex);
        state->trafficTracking = false;
        state->currentPhase.clear();
        installed = state->hookInstalled;
        state->hookInstalled = false;
        restore = std::move(state->forwardIntermediate);
        state->forwardIntermediate = nullptr;
    }
    if (installed) vela::intermediateMeasurementCallback.set(std::move(restore));
}

std::uint64_t SysInfoCollector::sumByteCounts(const std::vector<VelaThroughputSummary>& records) {
    std::uint64_t sum = 0;
    for (const auto& record : records) {
        std::uint64_t value = 0;
        if (!record.bytes.empty() && parseByteCount(record.bytes, value)) sum = saturatingAdd(sum, value);
    }
    return sum;
}

void SysInfoCollector::applyInterfaceTraffic(std::vector<std::unique_ptr<TaskResult>>& results) {
    resetTrafficTracking();
    const InterfaceTrafficCounts counts = trafficCounts();
    for (auto& entry : results) {
        if (!entry) continue;
        if (!isSpeedTestType(entry->objective_task_type)) continue;
        auto* result = dynamic_cast<VelaTaskResult*>(entry.get());
        if (result == nullptr) continue;

        const std::uint64_t dl = withMargin(sumByteCounts(result->download_summaries));
        const std::uint64_t ul = withMargin(sumByteCounts(result->upload_summaries));

        InterfaceTraffic download;
        download.bytes_tx = counts.downloadTx;
        download.bytes_rx = std::max(dl, counts.downloadRx);
        InterfaceTraffic upload;
        upload.bytes_tx = std::max(ul, counts.uploadTx);
        upload.bytes_rx = counts.uploadRx;
        InterfaceTraffic total;
        total.bytes_tx = saturatingAdd(counts.totalTx, ul > counts.uploadTx ? ul - counts.uploadTx : 0);
        total.bytes_rx = saturatingAdd(counts.totalRx, dl > counts.downloadRx ? dl - counts.downloadRx : 0);

        result->download_measurement_traffic = download;
        result->upload_measurement_traffic = upload;
        result->total_traffic = total;
    }
}

InterfaceTrafficCounts SysInfoCollector::trafficCounts() const {
    std::lock_guard lock(state->mutex);
    return state->counts;
}

bool SysInfoCollector::isTrackingTraffic() const {
    std::lock_guard lock(state->mutex);
    return state->trafficTracking;
}

}  // namespace trevask::measurement_library

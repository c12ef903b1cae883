#include "platform/system/PerformanceCounters.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace lumivex::platform {

namespace {
constexpr const char* kProcessorPath = "\\Processor(_Total)\\% Processor Time";
constexpr const char* kMemoryPath = "\\Memory\\% Committed Bytes In Use";
}  // namespace

PerformanceQuery::PerformanceQuery(std::filesystem::path root) : root_(std::move(root)) {}

PdhStatus PerformanceQuery::open() {
    std::error_code ec;
    if (!std::filesystem::exists(root_ / "proc", ec)) return kPdhFileNotFound;
    open_ = true;
    return kPdhOk;
}

void PerformanceQuery::close() {
    open_ = false;
    hasProcessor_ = hasMemory_ = false;
    previousCpu_.reset();
    currentCpu_.reset();
    memoryPercent_.reset();
    collections_ = 0;
}

PdhStatus PerformanceQuery::addEnglishCounter(const std::string& path, PdhCounter& counter) {
    counter = PdhCounter::None;
    if (!open_) return kPdhInvalidHandle;
    if (path == kProcessorPath) {
        hasProcessor_ = true;
        counter = PdhCounter::ProcessorTime;
        return kPdhOk;
    }
    if (path == kMemoryPath) {
        hasMemory_ = true;
        counter = PdhCounter::CommittedBytesInUse;
        return kPdhOk;
    }
    return kPdhNoCounter;
}

PdhStatus PerformanceQuery::collect() {
    if (!open_) return kPdhInvalidHandle;
    if (!hasProcessor_ && !hasMemory_) return kPdhNoData;
    std::optional<CpuTimes> cpu;
    if (hasProcessor_) {
        cpu = readCpu();
        if (!cpu) return kPdhFileNotFound;
    }
    std::optional<double> memory;
    if (hasMemory_) {
        memory = readMemoryPercent();
        if (!memory) return kPdhFileNotFound;
    }
    previousCpu_ = currentCpu_;
    currentCpu_ = cpu;
    memoryPercent_ = memory;
    ++collections_;
    return kPdhOk;
}

PdhStatus PerformanceQuery::formattedValue(PdhCounter counter, double& value) const {
    value = 0;
    if (!open_) return kPdhInvalidHandle;
    switch (counter) {
        case PdhCounter::ProcessorTime: {
            if (!hasProcessor_) return kPdhInvalidHandle;
            if (!previousCpu_ || !currentCpu_) return kPdhInvalidData;
            // Counters that went backwards (e.g. CPU hot-plug) give no value.
            if (currentCpu_->total <= previousCpu_->total || currentCpu_->busy < previousCpu_->busy) return kPdhInvalidData;
            double total = static_cast<double>(currentCpu_->total - previousCpu_->total);
            double busy = static_cast<double>(currentCpu_->busy - previousCpu_->busy);
            value = std::clamp(busy / total * 100.0, 0.0, 100.0);
            return kPdhOk;
        }
        case PdhCounter::CommittedBytesInUse:
            if (!hasMemory_) return kPdhInvalidHandle;
            if (!memoryPercent_) return kPdhInvalidData;
            value = *memoryPercent_;
            return kPdhOk;
        case PdhCounter::None: break;
    }
    return kPdhInvalidHandle;
}

std::optional<PerformanceQuery::CpuTimes> PerformanceQuery::readCpu() const {
    std::ifstream in(root_ / "proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("cpu ", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        // user nice system idle iowait irq softirq steal (guest time is already in user)
        std::uint64_t values[8] = {};
        int count = 0;
        while (count < 8 && fields >> values[count]) ++count;
        if (count < 4) return std::nullopt;
        CpuTimes times;
        for (int i = 0; i < count; ++i) times.total += values[i];
        std::uint64_t idle = values[3] + (count > 4 ? values[4] : 0);
        times.busy = times.total - idle;
        return times;
    }
    return std::nullopt;
}

std::optional<double> PerformanceQuery::readMemoryPercent() const {
    std::ifstream in(root_ / "proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    std::optional<std::uint64_t> total, available, free, buffers, cached;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (!(fields >> key >> value)) continue;
        if (key == "MemTotal:") total = value;
        else if (key == "MemAvailable:") available = value;
        else if (key == "MemFree:") free = value;
        else if (key == "Buffers:") buffers = value;
        else if (key == "Cached:") cached = value;
    }
    if (!total || *total == 0) return std::nullopt;
    if (!available) {  // kernels before 3.14
        if (!free) return std::nullopt;
        available = *free + buffers.value_or(0) + cached.value_or(0);
    }
    double used = static_cast<double>(*total - std::min(*available, *total));
    return used / static_cast<double>(*total) * 100.0;
}

}  // namespace lumivex::platform

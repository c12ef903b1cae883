#pragma once
// Stand-in for a PDH query with the two counters the sampler uses:
//   "\Processor(_Total)\% Processor Time"  busy share of all CPUs between the
//                                          last two collections (/proc/stat);
//                                          the first collection is the baseline
//   "\Memory\% Committed Bytes In Use"     (MemTotal - MemAvailable) / MemTotal
//                                          at the last collection (/proc/meminfo)
// Calls answer a status code like PDH does (0 is success).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace lumivex::platform {

using PdhStatus = std::uint32_t;
inline constexpr PdhStatus kPdhOk = 0;
inline constexpr PdhStatus kPdhNoData = 0x800007D5;          // nothing collected yet
inline constexpr PdhStatus kPdhInvalidHandle = 0xC0000BBC;   // query not open / unknown counter
inline constexpr PdhStatus kPdhNoCounter = 0xC0000BB9;       // counter path not known
inline constexpr PdhStatus kPdhInvalidData = 0xC0000BC6;     // no usable value (e.g. no baseline)
inline constexpr PdhStatus kPdhFileNotFound = 0xC0000BD1;    // the source file cannot be read

enum class PdhCounter { None, ProcessorTime, CommittedBytesInUse };

class PerformanceQuery {
public:
    explicit PerformanceQuery(std::filesystem::path root = "/");

    PdhStatus open();
    void close();
    bool isOpen() const { return open_; }
    // Accepts the two English counter paths above.
    PdhStatus addEnglishCounter(const std::string& path, PdhCounter& counter);
    PdhStatus collect();
    // The counter's value in percent (0 to 100).
    PdhStatus formattedValue(PdhCounter counter, double& value) const;

private:
    struct CpuTimes {
        std::uint64_t busy = 0;
        std::uint64_t total = 0;
    };
    std::optional<CpuTimes> readCpu() const;
    std::optional<double> readMemoryPercent() const;

    std::filesystem::path root_;
    bool open_ = false;
    bool hasProcessor_ = false;
    bool hasMemory_ = false;
    std::optional<CpuTimes> previousCpu_;
    std::optional<CpuTimes> currentCpu_;
    std::optional<double> memoryPercent_;
    int collections_ = 0;
};

}  // namespace lumivex::platform

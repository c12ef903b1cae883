#pragma once
// One system-information sample: CPU and memory load, interface traffic
// since the previous sample and the kind of network.

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct CpuRamInformation {
    std::optional<float> cpuUsage;  // processor load, fraction 0 to 1
    std::optional<float> ramUsage;  // memory load, fraction 0 to 1
};

struct TrafficInformation {
    std::optional<std::uint64_t> rxBytes;  // received on the active interface since the previous sample
    std::optional<std::uint64_t> txBytes;  // sent since the previous sample
};

struct InformationCallback {
    std::optional<CpuRamInformation> cpuRam;
    std::optional<TrafficInformation> traffic;
    std::optional<int> networkTypeId;     // a NetworkTypeId code
    std::optional<std::string> providerName;
    std::optional<std::string> technology;  // text of networkTypeId
};

}  // namespace trevask::measurement_library

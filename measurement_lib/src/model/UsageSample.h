#pragma once
// One processor or memory sample of a measurement run.

#include <cstdint>

namespace trevask::measurement_library {

struct UsageSample {
    double value = 0;                   // busy share, 0 to 1
    std::int64_t relative_time_ns = 0;  // sampler: wall-clock ns; report: ns since the run's start

    bool operator==(const UsageSample&) const = default;
};

}  // namespace trevask::measurement_library

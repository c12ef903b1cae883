#pragma once
// Builds the root logger's output from the settings of a measurement.

namespace trevask::measurement_library {

struct MeasurementExecutorSettings;

class LoggerConfigurationHelper {
public:
    // Replaces the root logger's channel: the configured outputs (one console
    // channel when none is configured or settings is null) plus the
    // breadcrumb channel, behind the pattern formatter when the settings ask
    // for it; sets the root level when settings are given.
    static void initializeLogger(const MeasurementExecutorSettings* settings);
};

}  // namespace trevask::measurement_library

#pragma once
// TEST SEAM: shorter speed tests for tests. Production code never sets it,
// and it exists only in builds configured with LUMIVEX_TEST_SEAMS (the Debug
// test tree); elsewhere currentSpeedTestOverrides() has none to give.
//
// The native speed-test task passes fixed durations and counts to the
// speed-test client (a full run takes about half a minute). Tests replace
// some of them with smaller values, either in-process
// (setSpeedTestOverridesForTesting) or, for a test that runs the agent as a
// process, through the environment variable LUMIVEX_TEST_SPEED_OVERRIDES.
// Its text is a comma-separated list of entries:
//   NAME=VALUE   one client configuration field (see speedTestOverrideFields),
//                VALUE an unsigned decimal number within the field's range
//   short        the preset kShortPreset (about four seconds against a
//                loopback server); later entries override it
// for example "short" or "short,dl_duration_s=2" or "rtt_udp_num_packets=20".
// An unset or empty variable changes nothing; a malformed one is ignored as
// a whole with a warning in the log. Overrides in force are logged at
// warning level, once per speed test, as
//   "Speed test shortened by <source>: <name=value,...>"
// with <source> LUMIVEX_TEST_SPEED_OVERRIDES or "in-process test overrides".

#include "mclient.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trevask::measurement_library {

struct SpeedTestOverrides {
    // The environment variable read by currentSpeedTestOverrides().
    static constexpr const char* kEnvironmentVariable = "LUMIVEX_TEST_SPEED_OVERRIDES";
    // Start of the warning logged when overrides shorten a speed test.
    static constexpr const char* kShortenedLogPrefix = "Speed test shortened by ";
    static constexpr const char* kShortPreset =
        "rtt_tcp_num_packets=3,rtt_tcp_timeout_s=3,rtt_udp_num_packets=10,rtt_udp_timeout_s=3,"
        "dl_pretest_duration_s=1,dl_duration_s=1,dl_slow_start_duration_s=0,dl_num_connections=2,"
        "ul_pretest_duration_s=1,ul_duration_s=1,ul_slow_start_duration_s=0,ul_num_connections=2";

    // Field name (as in mclient_config) -> value.
    std::map<std::string, std::uint32_t> values;

    // Reads the text form above. No value, and a reason in `error`, for an
    // unknown name, a missing "=", or a value that is not a number in range.
    static std::optional<SpeedTestOverrides> parse(std::string_view text, std::string& error);

    // "name=value" entries joined by commas, in name order.
    std::string text() const;

    // Writes the values into the record's fields of the same names.
    void applyTo(mclient_config& record) const;
};

// The names that may be overridden: the durations, counts, delays and time
// limits of the client configuration record.
const std::vector<std::string>& speedTestOverrideFields();

// Whether this build has the test seams (LUMIVEX_TEST_SEAMS); without them
// no overrides apply, whatever the environment or the test process sets.
bool speedTestOverridesBuilt();

// In-process tests: replaces the overrides of later speed tests (no value:
// back to the environment variable). Not for production code.
void setSpeedTestOverridesForTesting(std::optional<SpeedTestOverrides> overrides);

// The overrides of the speed test that starts now: the in-process ones when
// set, else those of LUMIVEX_TEST_SPEED_OVERRIDES, else none (always none
// without the test seams). Logs the warning above when some apply.
std::optional<SpeedTestOverrides> currentSpeedTestOverrides();

}  // namespace trevask::measurement_library

#pragma once
// Client facts that the UI hands over with its configuration call and that
// the client descriptions carry. One set per process; each write replaces
// the value as a whole and a reader sees either the old or the new value.

#include <cstdint>
#include <string>

namespace trevask::measurement_library {

struct UiConfiguration {
    std::string configTimezone;         // used when not empty
    std::string configAppVersionName;   // used when not empty
    std::int32_t configAppVersionCode = 0;  // used when greater than 0
    std::string configAppGitRevision;   // used when not empty
    std::string configLanguage;         // nothing in the agent sets it

    // A consistent copy of the current values.
    static UiConfiguration current();

    // Replace the values of the UI's configuration call; the language stays.
    static void store(std::string timezone, std::string appVersionName, std::int32_t appVersionCode,
                      std::string appGitRevision);
    static void setLanguage(std::string language);
    // Back to the values at process start (for tests).
    static void reset();
};

}  // namespace trevask::measurement_library

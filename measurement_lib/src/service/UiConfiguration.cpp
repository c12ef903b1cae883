#include "service/UiConfiguration.h"

#include <mutex>
#include <utility>

namespace trevask::measurement_library {

namespace {

// Written on the UI thread, read by whatever thread builds a request; the
// lock keeps a reader from seeing a half-written text.
std::mutex& configurationMutex() {
    static std::mutex mutex;
    return mutex;
}

UiConfiguration& values() {
    static UiConfiguration configuration;
    return configuration;
}

}  // namespace

UiConfiguration UiConfiguration::current() {
    std::lock_guard lock(configurationMutex());
    return values();
}

void UiConfiguration::store(std::string timezone, std::string appVersionName, std::int32_t appVersionCode,
                            std::string appGitRevision) {
    std::lock_guard lock(configurationMutex());
    UiConfiguration& v = values();
    v.configTimezone = std::move(timezone);
    v.configAppVersionName = std::move(appVersionName);
    v.configAppVersionCode = appVersionCode;
    v.configAppGitRevision = std::move(appGitRevision);
}

void UiConfiguration::setLanguage(std::string language) {
    std::lock_guard lock(configurationMutex());
    values().configLanguage = std::move(language);
}

void UiConfiguration::reset() {
    std::lock_guard lock(configurationMutex());
    values() = UiConfiguration();
}

}  // namespace trevask::measurement_library

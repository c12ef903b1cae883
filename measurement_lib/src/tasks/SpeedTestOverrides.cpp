#include "tasks/SpeedTestOverrides.h"

#include <Poco/Logger.h>

#include <cstdlib>
#include <limits>
#include <mutex>

namespace trevask::measurement_library {

namespace {

struct Field {
    const char* name;
    std::uint32_t max;
    void (*set)(mclient_config&, std::uint32_t);
};

constexpr std::uint32_t kU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kU8 = std::numeric_limits<std::uint8_t>::max();

#define LUMIVEX_OVERRIDE_FIELD(field, max) \
    Field { #field, max, [](mclient_config& r, std::uint32_t v) { r.field = static_cast<decltype(r.field)>(v); } }

const std::vector<Field>& fields() {
    static const std::vector<Field> table{
        LUMIVEX_OVERRIDE_FIELD(progress_update_limit_ms, kU32),
        LUMIVEX_OVERRIDE_FIELD(raw_history_sampling_rate_ms, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_tcp_num_packets, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_tcp_delay_ms, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_tcp_timeout_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_udp_num_packets, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_udp_delay_ms, kU32),
        LUMIVEX_OVERRIDE_FIELD(rtt_udp_timeout_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(dl_pretest_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(dl_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(dl_slow_start_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(dl_num_connections, kU8),
        LUMIVEX_OVERRIDE_FIELD(ul_pretest_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(ul_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(ul_slow_start_duration_s, kU32),
        LUMIVEX_OVERRIDE_FIELD(ul_num_connections, kU8),
    };
    return table;
}

#undef LUMIVEX_OVERRIDE_FIELD

const Field* findField(std::string_view name) {
    for (const auto& field : fields()) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Digits only, at most `max`.
std::optional<std::uint32_t> parseValue(std::string_view text, std::uint32_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > max) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool parseInto(std::string_view text, SpeedTestOverrides& out, std::string& error, bool allowPreset) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view entry = trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty()) continue;
        if (allowPreset && entry == "short") {
            if (!parseInto(SpeedTestOverrides::kShortPreset, out, error, false)) return false;
            continue;
        }
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            error = "entry without '=': " + std::string(entry);
            return false;
        }
        const std::string_view name = trim(entry.substr(0, equals));
        const Field* field = findField(name);
        if (field == nullptr) {
            error = "unknown field: " + std::string(name);
            return false;
        }
        const auto value = parseValue(trim(entry.substr(equals + 1)), field->max);
        if (!value) {
            error = "value of " + std::string(name) + " is not a number from 0 to " + std::to_string(field->max);
            return false;
        }
        out.values[std::string(name)] = *value;
    }
    return true;
}

std::mutex& overridesMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<SpeedTestOverrides>& inProcessOverrides() {
    static std::optional<SpeedTestOverrides> overrides;
    return overrides;
}

}  // namespace

std::optional<SpeedTestOverrides> SpeedTestOverrides::parse(std::string_view text, std::string& error) {
    SpeedTestOverrides overrides;
    if (!parseInto(text, overrides, error, true)) return std::nullopt;
    return overrides;
}

void SpeedTestOverrides::applyTo(mclient_config& record) const {
    for (const auto& [name, value] : values) {
        if (const Field* field = findField(name)) field->set(record, value);
    }
}

const std::vector<std::string>& speedTestOverrideFields() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const auto& field : fields()) list.emplace_back(field.name);
        return list;
    }();
    return names;
}

bool speedTestOverridesBuilt() {
#ifdef LUMIVEX_TEST_SEAMS
    return true;
#else
    return false;
#endif
}

std::string SpeedTestOverrides::text() const {
    std::string out;
    for (const auto& [name, value] : values) {
        if (!out.empty()) out += ',';
        out += name + '=' + std::to_string(value);
    }
    return out;
}

void setSpeedTestOverridesForTesting(std::optional<SpeedTestOverrides> overrides) {
    std::lock_guard lock(overridesMutex());
    inProcessOverrides() = std::move(overrides);
}

std::optional<SpeedTestOverrides> currentSpeedTestOverrides() {
    static Poco::Logger& logger = Poco::Logger::get("NativeVelaTask");
    const char* text = std::getenv(SpeedTestOverrides::kEnvironmentVariable);
    const bool fromEnvironment = text != nullptr && *text != '\0';
    if (!speedTestOverridesBuilt()) {
        // A build without test seams runs the speed test as it is; the
        // variable is named in the log so that a caller who set it knows.
        if (fromEnvironment) {
            logger.warning("%s ignored: this build has no test seams",
                           std::string(SpeedTestOverrides::kEnvironmentVariable));
        }
        return std::nullopt;
    }
    std::optional<SpeedTestOverrides> overrides;
    std::string source;
    {
        std::lock_guard lock(overridesMutex());
        if (inProcessOverrides()) {
            overrides = inProcessOverrides();
            source = "in-process test overrides";
        }
    }
    if (!overrides) {
        // The only place that reads LUMIVEX_TEST_SPEED_OVERRIDES: a test that
        // starts the agent as a process shortens the speed test with it (see
        // SpeedTestOverrides.h for the text form).
        if (!fromEnvironment) return std::nullopt;
        std::string error;
        overrides = SpeedTestOverrides::parse(text, error);
        if (!overrides) {
            logger.warning("%s ignored: %s", std::string(SpeedTestOverrides::kEnvironmentVariable), error);
            return std::nullopt;
        }
        source = SpeedTestOverrides::kEnvironmentVariable;
    }
    // Front ends and run summaries look for this line: the figures of this
    // speed test do not come from a full-length run.
    logger.warning("%s%s: %s", std::string(SpeedTestOverrides::kShortenedLogPrefix), source, overrides->text());
    return overrides;
}

}  // namespace trevask::measurement_library

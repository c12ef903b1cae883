#include "helper/SentryHelper.h"

#include "helper/ProbeHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "platform/sentry/SentryClient.h"

#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace trevask::measurement_library {

namespace sentry = lumivex::platform::sentry;
namespace json = boost::json;

namespace {

std::atomic<bool> enabled{false};

// The stored identity; updateMutex also keeps two scope rebuilds from
// interleaving their halves.
std::mutex identityMutex;
std::string agentUuid;
std::optional<std::map<std::string, std::string>> contextOptions;
std::mutex updateMutex;

// The reporter's handles are plain numbers; they travel in the pointer slot.
void* toPointer(std::uint64_t id) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)); }
std::uint64_t fromPointer(void* pointer) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pointer)); }

const char* levelText(int priority) {
    switch (priority) {
        case 1: return "fatal";
        case 2: return "critical";
        case 3: return "error";
        case 4: return "warning";
        case 5: return "notice";
        case 6: return "info";
        case 7: return "debug";
        case 8: return "trace";
        default: return "info";
    }
}

}  // namespace

Poco::Logger& SentryHelper::logger() {
    static Poco::Logger& instance = Poco::Logger::get("SentryHelper");
    return instance;
}

bool SentryHelper::isEnabled() { return enabled.load(std::memory_order_acquire); }

void SentryHelper::captureException(const std::exception& e, std::string info, std::source_location location) {
    if (!isEnabled()) return;
    try {
        std::string message = e.what();
        std::string suffix = info.empty() ? std::string() : " (" + info + ")";
        std::string where = std::string(location.file_name()) + "(" + std::to_string(location.line()) + ":" +
                            std::to_string(location.column()) + ")";
        std::string type = "Exception: " + message + "; " + suffix;
        std::string value = message + suffix + "; " + where + ": " + location.function_name();
        json::object exception{{"type", std::move(type)}, {"value", std::move(value)}};
        json::object event = sentry::newEvent();
        event["exception"] = json::object{{"values", json::array{std::move(exception)}}};
        sentry::captureEvent(std::move(event));
    } catch (...) {
        // Reporting must never add a failure of its own.
    }
}

void SentryHelper::addBreadcrumb(const Poco::Message& message) {
    try {
        double seconds = static_cast<double>(message.getTime().epochMicroseconds()) / 1e6;
        sentry::addBreadcrumb(json::object{{"message", message.getText()},
                                           {"category", "log"},
                                           {"level", levelText(static_cast<int>(message.getPriority()))},
                                           {"timestamp", seconds}});
    } catch (...) {
    }
}

SentryTransaction SentryHelper::startTransaction(std::string name, std::string operation) {
    if (!isEnabled()) return {};
    auto id = sentry::startTransaction(std::move(name), std::move(operation));
    if (id == 0) return {};
    return {toPointer(id), true};
}

SentrySpan SentryHelper::startSpan(SentryTransaction transaction, std::string operation, std::string description) {
    if (!isEnabled() || !transaction.hasValue) return {};
    auto id = sentry::startChild(fromPointer(transaction.transaction), std::move(operation), std::move(description));
    if (id == 0) return {};
    return {toPointer(id), true};
}

void SentryHelper::setSpanData(SentrySpan span, std::string key, std::string value) {
    if (!isEnabled() || !span.hasValue) return;
    // Request and response bodies may be huge: only their start (and their
    // full size) goes into the span.
    sentry::setSpanData(fromPointer(span.span), std::move(key), json::value(sentry::boundedSpanText(std::move(value))));
}

void SentryHelper::finishSpan(SentrySpan span) {
    if (!isEnabled() || !span.hasValue) return;
    sentry::finishSpan(fromPointer(span.span));
}

void SentryHelper::finishTransaction(SentryTransaction transaction) {
    if (!isEnabled() || !transaction.hasValue) return;
    sentry::finishTransaction(fromPointer(transaction.transaction));
}

void SentryHelper::initialize(std::string dsn, std::string uuid, bool debug) {
    poco_information_f1(logger(), "Sentry is enabled (DSN: %s)", dsn);
    enabled.store(true, std::memory_order_release);
    {
        std::lock_guard lock(identityMutex);
        agentUuid = std::move(uuid);
    }
    sentry::Options options;
    options.dsn = std::move(dsn);
    options.debug = debug;
    options.maxSpans = 100;
    options.tracesSampleRate = 1.0;
    options.sampleRate = 1.0;
    options.autoSessionTracking = true;
    options.environment = "release";
    sentry::setLevel(sentry::Level::Debug);
    // A running reporter is restarted with the new values.
    if (!sentry::init(options)) {
        sentry::close();
        sentry::setLevel(sentry::Level::Debug);
        sentry::init(options);
    }
    sentry::setContext("lumivex_config", json::object{});
    updateScope();
}

void SentryHelper::setAgentUuid(std::string uuid, std::optional<std::map<std::string, std::string>> options) {
    {
        std::lock_guard lock(identityMutex);
        agentUuid = std::move(uuid);
        contextOptions = std::move(options);
    }
    updateScope();
}

void SentryHelper::updateScope() {
    std::lock_guard update(updateMutex);
    std::string uuid;
    std::optional<std::map<std::string, std::string>> options;
    {
        std::lock_guard lock(identityMutex);
        uuid = agentUuid;
        options = contextOptions;
    }
    std::string boardId = ProbeHelper::getBoardId();
    std::optional<std::string> imageName = ProbeHelper::getImageName();
    std::optional<std::string> imageBuildTimestamp = ProbeHelper::getImageBuildTimestamp();

    json::object user{{"id", boardId}, {"ip_address", "{{auto}}"}};
    if (!uuid.empty()) user["email"] = uuid + "@" + imageName.value_or("unknown");
    sentry::setUser(std::move(user));

    sentry::setTag("boardid", boardId);
    sentry::removeTag("agent_uuid");
    if (!uuid.empty()) sentry::setTag("agent_uuid", uuid);

    json::object probe{{"boardid", boardId}, {"agent_uuid", uuid}};
    if (imageName) {
        probe["image_name"] = *imageName;
        sentry::setTag("image_name", *imageName);
    }
    if (imageBuildTimestamp) probe["image_build_timestamp"] = *imageBuildTimestamp;
    if (auto hostname = ProbeHelper::getHostname()) probe["hostname"] = *hostname;
    if (auto codeName = ProbeHelper::getCodeNameForContext()) probe["code_name"] = *codeName;
    if (auto model = ProbeHelper::getModel()) probe["model"] = *model;
    if (auto ipv4 = WindowsSystemHelper::getLocalIpv4()) probe["local_ipv4"] = *ipv4;
    if (auto ipv6 = WindowsSystemHelper::getLocalIpv6()) probe["local_ipv6"] = *ipv6;
    sentry::setContext("quarn_probe", std::move(probe));

    if (options) {
        json::object lumivex;
        for (const auto& [key, value] : *options) lumivex[key] = value;
        sentry::setContext("lumivex", std::move(lumivex));
    }
}

void SentryHelper::close() { sentry::close(); }

}  // namespace trevask::measurement_library

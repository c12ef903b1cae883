#include "helper/system/WindowsSystemHelper.h"

#include "helper/SentryHelper.h"
#include "helper/system/NetworkTypeId.h"
#include "platform/system/MachineQueries.h"
#include "platform/system/NetworkStatus.h"

#include <Poco/Logger.h>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <atomic>
#include <mutex>
#include <stdexcept>

namespace trevask::measurement_library {

namespace {

std::mutex rootMutex;
std::filesystem::path& rootPath() {
    static std::filesystem::path root = "/";
    return root;
}

// The facts are written once under the once-flag and only read afterwards.
std::once_flag sysInfoOnce;
std::atomic<bool> sysInfoRead{false};
MachineFacts& cachedFacts() {
    static MachineFacts facts;
    return facts;
}

const MachineFacts& facts() {
    WindowsSystemHelper::readSysInfo();
    return cachedFacts();
}

struct CimQuery {
    const char* className;
    const char* properties;
    std::optional<std::string> MachineFacts::*targets[3];
    const char* keys[3];
};

bool isLoopbackAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1";
}

}  // namespace

Poco::Logger& WindowsSystemHelper::logger() {
    static Poco::Logger& instance = Poco::Logger::get("WindowsSystemHelper");
    return instance;
}

void WindowsSystemHelper::setSystemRoot(std::filesystem::path root) {
    std::lock_guard lock(rootMutex);
    rootPath() = std::move(root);
}

std::filesystem::path WindowsSystemHelper::systemRoot() {
    std::lock_guard lock(rootMutex);
    return rootPath();
}

void WindowsSystemHelper::copyJsonString(const boost::json::object& obj, const std::string& key,
                                         std::optional<std::string>& out) {
    const boost::json::value* value = obj.if_contains(key);
    if (value != nullptr && value->is_string()) {
        out = std::string(value->get_string());
    } else {
        out.reset();
    }
}

MachineFacts WindowsSystemHelper::readMachineFacts(const std::filesystem::path& root) {
    MachineFacts result;
    result.osName = "Linux";
    result.model = "Linux";
    static const CimQuery queries[] = {
        {"Win32_OperatingSystem",
         "Caption,Version,OSArchitecture",
         {&MachineFacts::osName, &MachineFacts::osVersion, &MachineFacts::osArchitecture},
         {"Caption", "Version", "OSArchitecture"}},
        {"Win32_ComputerSystem", "Model,Manufacturer", {&MachineFacts::model, &MachineFacts::manufacturer, nullptr}, {"Model", "Manufacturer", nullptr}},
        {"Win32_ComputerSystemProduct", "UUID", {&MachineFacts::systemUuid, nullptr, nullptr}, {"UUID", nullptr, nullptr}},
    };

    auto transaction = SentryHelper::startTransaction("WindowsSystemHelper::readSysInfo", "readWinSystemInfo");
    SentrySpan span;
    try {
        for (const auto& query : queries) {
            span = SentryHelper::startSpan(transaction, query.className, query.properties);
            std::string output = lumivex::platform::queryCimInstance(query.className, root);
            // An empty answer is a source this machine lacks (e.g. no DMI in
            // a container): the facts keep what they hold.
            if (!output.empty()) {
                boost::json::value parsed = boost::json::parse(output);
                if (parsed.is_object()) {
                    for (int i = 0; i < 3 && query.keys[i] != nullptr; ++i) {
                        copyJsonString(parsed.get_object(), query.keys[i], result.*(query.targets[i]));
                    }
                }
            }
            SentryHelper::setSpanData(span, "output", output);
            SentryHelper::finishSpan(span);
            span = {};
        }
    } catch (const std::exception& e) {
        SentryHelper::finishSpan(span);
        SentryHelper::captureException(e);
        poco_error_f1(logger(), "error reading windows sys info: %s", std::string(e.what()));
    }
    SentryHelper::finishTransaction(transaction);
    return result;
}

void WindowsSystemHelper::readSysInfo() {
    std::call_once(sysInfoOnce, [] {
        sysInfoRead.store(true, std::memory_order_release);
        cachedFacts() = readMachineFacts(systemRoot());
    });
}

bool WindowsSystemHelper::isSysInfoRead() { return sysInfoRead.load(std::memory_order_acquire); }

std::optional<std::string> WindowsSystemHelper::getOsName() { return facts().osName; }
std::optional<std::string> WindowsSystemHelper::getOsVersion() { return facts().osVersion; }
std::optional<std::string> WindowsSystemHelper::getModel() { return facts().model; }
std::optional<std::string> WindowsSystemHelper::getOsArchitecture() { return facts().osArchitecture; }
std::optional<std::string> WindowsSystemHelper::getManufacturer() { return facts().manufacturer; }
std::optional<std::string> WindowsSystemHelper::getSystemUuid() { return facts().systemUuid; }

std::uint16_t WindowsSystemHelper::networkTypeFrom(const std::filesystem::path& root) {
    std::uint16_t result = NETWORK_TYPE_UNKNOWN;
    auto transaction = SentryHelper::startTransaction("WindowsSystemHelper::getCurrentNetworkType", "getWinNetworkType");
    auto span = SentryHelper::startSpan(transaction, "GetAdaptersAddresses", "first part");
    try {
        // The interfaces that reach the internet: those holding a default route.
        std::vector<std::string> connected = lumivex::platform::defaultRouteInterfaces(root);
        SentryHelper::finishSpan(span);
        span = SentryHelper::startSpan(transaction, "INetworkConnection", "second part");
        bool lanFound = false;
        bool otherFound = false;
        for (const auto& name : connected) {
            if (lumivex::platform::interfaceKind(root, name) == lumivex::platform::InterfaceKind::Ethernet) {
                lanFound = true;
            } else {
                otherFound = true;
            }
        }
        result = lanFound ? NETWORK_TYPE_LAN : otherFound ? NETWORK_TYPE_WLAN : NETWORK_TYPE_UNKNOWN;
        SentryHelper::setSpanData(span, "networkTypeId", std::to_string(result));
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        poco_error_f1(logger(), "Error reading current network type %s", std::string(e.what()));
    } catch (...) {
        poco_error(logger(), "Error reading current network type (unknown exception)");
    }
    SentryHelper::finishSpan(span);
    SentryHelper::finishTransaction(transaction);
    return result;
}

std::uint16_t WindowsSystemHelper::getCurrentNetworkType() {
    try {
        return networkTypeFrom(systemRoot());
    } catch (...) {
        return NETWORK_TYPE_UNKNOWN;
    }
}

std::string WindowsSystemHelper::withoutZone(std::string address) {
    auto percent = address.find('%');
    if (percent != std::string::npos && percent != 0) address.erase(percent);
    return address;
}

std::unique_ptr<NetworkInterfaceInfo> WindowsSystemHelper::activeInterfaceFrom(
    const std::vector<lumivex::platform::NetworkInterfaceEntry>& interfaces, const std::filesystem::path& root) {
    auto info = std::make_unique<NetworkInterfaceInfo>();
    for (const auto& entry : interfaces) {
        if (!entry.up || entry.loopback || !entry.running) continue;
        const std::string* first = !entry.ipv4.empty() ? &entry.ipv4.front()
                                   : !entry.ipv6.empty() ? &entry.ipv6.front()
                                                         : nullptr;
        if (first == nullptr || isLoopbackAddress(withoutZone(*first))) continue;
        info->name = entry.name;
        info->index = entry.index;
        info->typeCode = lumivex::platform::interfaceKind(root, entry.name) == lumivex::platform::InterfaceKind::Ieee80211
                             ? NETWORK_TYPE_WLAN
                             : NETWORK_TYPE_LAN;
        if (!entry.ipv4.empty()) {
            info->ipv4 = entry.ipv4.front();
        } else {
            info->ipv6 = withoutZone(entry.ipv6.front());
        }
        break;
    }
    return info;
}

std::unique_ptr<NetworkInterfaceInfo> WindowsSystemHelper::getActiveNetworkInterface() {
    return activeInterfaceFrom(lumivex::platform::listNetworkInterfaces(), systemRoot());
}

std::optional<std::string> WindowsSystemHelper::getLocalIpv4() {
    auto info = getActiveNetworkInterface();
    if (info->ipv4.empty()) return std::nullopt;
    return info->ipv4;
}

std::optional<std::string> WindowsSystemHelper::getLocalIpv6() {
    auto info = getActiveNetworkInterface();
    if (info->ipv6.empty()) return std::nullopt;
    return info->ipv6;
}

}  // namespace trevask::measurement_library

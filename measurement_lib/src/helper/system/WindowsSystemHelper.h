#pragma once
// Operating-system and hardware facts (read once per process), the kind of
// the current network connection and the active network interface.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Poco {
class Logger;
}

namespace lumivex::platform {
struct NetworkInterfaceEntry;
}

namespace trevask::measurement_library {

struct NetworkInterfaceInfo {
    std::int32_t index = -1;  // -1: no interface qualifies
    std::string ipv4;         // first address when the interface has IPv4
    std::string ipv6;         // first address when it has IPv6 only, zone cut off
    std::string name;
    int typeCode = 98;        // 99 for Wi-Fi, else 98
};

// The facts of one read; absent where the source had nothing.
struct MachineFacts {
    std::optional<std::string> osName;
    std::optional<std::string> osVersion;
    std::optional<std::string> model;
    std::optional<std::string> osArchitecture;
    std::optional<std::string> manufacturer;
    std::optional<std::string> systemUuid;
};

class WindowsSystemHelper {
public:
    // Fills the cached facts; the first call reads, every other call (also
    // a concurrent one) waits for that read and returns.
    static void readSysInfo();
    static bool isSysInfoRead();

    // Accessors of the cached facts; each makes sure the facts were read.
    static std::optional<std::string> getOsName();
    static std::optional<std::string> getOsVersion();
    static std::optional<std::string> getModel();
    static std::optional<std::string> getOsArchitecture();
    static std::optional<std::string> getManufacturer();
    static std::optional<std::string> getSystemUuid();

    // out := obj[key] when that is a string, else absent.
    static void copyJsonString(const boost::json::object& obj, const std::string& key, std::optional<std::string>& out);

    // 98 when an internet-connected interface is wired, else 99 when one is
    // connected at all, else 95. Never throws.
    static std::uint16_t getCurrentNetworkType();
    static std::unique_ptr<NetworkInterfaceInfo> getActiveNetworkInterface();
    static std::optional<std::string> getLocalIpv4();
    static std::optional<std::string> getLocalIpv6();

    // --- Linux seams ----------------------------------------------------------
    // Root of /proc, /sys and /etc for every reader ("/" unless a test sets a
    // fixture tree before the first read).
    static void setSystemRoot(std::filesystem::path root);
    static std::filesystem::path systemRoot();
    // One uncached read of the facts below `root`, with the reads' defaults.
    static MachineFacts readMachineFacts(const std::filesystem::path& root);
    static std::uint16_t networkTypeFrom(const std::filesystem::path& root);
    static std::unique_ptr<NetworkInterfaceInfo> activeInterfaceFrom(
        const std::vector<lumivex::platform::NetworkInterfaceEntry>& interfaces, const std::filesystem::path& root);
    // Cuts everything from the first "%" unless the text begins with it.
    static std::string withoutZone(std::string address);
    // Logs under the name "WindowsSystemHelper".
    static Poco::Logger& logger();
};

}  // namespace trevask::measurement_library

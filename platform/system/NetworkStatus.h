#pragma once
// Stand-in for the IP Helper adapter and interface tables and the network
// list manager: interface listing (getifaddrs), interface kind and byte
// counters from sysfs, and "connected to the internet" as "holds a default
// route". Everything read from files takes a root so tests can use fixture
// trees ("/" otherwise).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumivex::platform {

// One network interface with its addresses, in the order the system lists them.
struct NetworkInterfaceEntry {
    std::string name;
    int index = -1;
    bool up = false;
    bool running = false;
    bool loopback = false;
    std::vector<std::string> ipv4;  // dotted texts
    std::vector<std::string> ipv6;  // texts; scoped addresses carry "%" and the interface name
};

// Interfaces that have at least one IP address, in index order.
std::vector<NetworkInterfaceEntry> listNetworkInterfaces();

enum class InterfaceKind { Ethernet, Ieee80211, Other };

// Wi-Fi when NAME has a "wireless" or "phy80211" entry; Ethernet when its
// ARP hardware type is 1; anything else (or unreadable) is Other.
InterfaceKind interfaceKind(const std::filesystem::path& root, const std::string& name);

// The interface name whose sysfs "ifindex" is `index`.
std::optional<std::string> interfaceNameForIndex(const std::filesystem::path& root, int index);

// (sent bytes, received bytes) of NAME from its statistics folder.
std::optional<std::pair<std::uint64_t, std::uint64_t>> interfaceOctets(const std::filesystem::path& root,
                                                                      const std::string& name);

// Interfaces that hold a usable IPv4 or IPv6 default route (up, not a reject
// route, not the loopback interface), in the order first seen.
std::vector<std::string> defaultRouteInterfaces(const std::filesystem::path& root);

}  // namespace lumivex::platform

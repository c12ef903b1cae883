#include "platform/system/NetworkStatus.h"

#include "platform/system/MachineQueries.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

namespace lumivex::platform {

namespace {

constexpr unsigned kRouteUp = 0x0001;
constexpr unsigned kRouteReject = 0x0200;

std::optional<std::uint64_t> readNumberFile(const std::filesystem::path& path) {
    auto line = readFirstLine(path);
    if (!line) return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(line->data(), line->data() + line->size(), value);
    if (ec != std::errc() || end == line->data()) return std::nullopt;
    return value;
}

bool parseHex(const std::string& text, unsigned& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

void addOnce(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

}  // namespace

std::vector<NetworkInterfaceEntry> listNetworkInterfaces() {
    std::vector<NetworkInterfaceEntry> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    std::map<std::string, NetworkInterfaceEntry> byName;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_name == nullptr) continue;
        int family = it->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        auto& entry = byName[it->ifa_name];
        if (entry.name.empty()) {
            entry.name = it->ifa_name;
            entry.index = static_cast<int>(::if_nametoindex(it->ifa_name));
        }
        entry.up = entry.up || (it->ifa_flags & IFF_UP) != 0;
        entry.running = entry.running || (it->ifa_flags & IFF_RUNNING) != 0;
        entry.loopback = entry.loopback || (it->ifa_flags & IFF_LOOPBACK) != 0;
        char text[INET6_ADDRSTRLEN] = {};
        if (family == AF_INET) {
            auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
            if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof(text))) entry.ipv4.emplace_back(text);
        } else {
            auto* address = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
            if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof(text))) {
                std::string shown = text;
                if (address->sin6_scope_id != 0) shown += std::string("%") + it->ifa_name;
                entry.ipv6.push_back(std::move(shown));
            }
        }
    }
    ::freeifaddrs(list);
    for (auto& [name, entry] : byName) out.push_back(std::move(entry));
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
    return out;
}

InterfaceKind interfaceKind(const std::filesystem::path& root, const std::string& name) {
    std::filesystem::path folder = root / "sys/class/net" / name;
    std::error_code ec;
    if (std::filesystem::exists(folder / "wireless", ec) || std::filesystem::exists(folder / "phy80211", ec)) {
        return InterfaceKind::Ieee80211;
    }
    auto type = readNumberFile(folder / "type");
    if (type && *type == 1) return InterfaceKind::Ethernet;
    return InterfaceKind::Other;
}

std::optional<std::string> interfaceNameForIndex(const std::filesystem::path& root, int index) {
    if (index < 0) return std::nullopt;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root / "sys/class/net", ec)) {
        auto value = readNumberFile(entry.path() / "ifindex");
        if (value && *value == static_cast<std::uint64_t>(index)) return entry.path().filename().string();
    }
    return std::nullopt;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> interfaceOctets(const std::filesystem::path& root,
                                                                      const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return std::nullopt;
    std::filesystem::path statistics = root / "sys/class/net" / name / "statistics";
    auto sent = readNumberFile(statistics / "tx_bytes");
    auto received = readNumberFile(statistics / "rx_bytes");
    if (!sent || !received) return std::nullopt;
    return std::make_pair(*sent, *received);
}

std::vector<std::string> defaultRouteInterfaces(const std::filesystem::path& root) {
    std::vector<std::string> names;
    {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        std::ifstream in(root / "proc/net/route");
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string iface, destination, gateway, flags, refCount, use, metric, mask;
            if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
            unsigned flagBits = 0;
            if (!parseHex(flags, flagBits)) continue;
            if (destination != "00000000" || mask != "00000000") continue;
            if ((flagBits & kRouteUp) == 0 || (flagBits & kRouteReject) != 0 || iface == "lo") continue;
            addOnce(names, iface);
        }
    }
    {
        // destination prefix-length source source-prefix next-hop metric refcnt use flags iface
        std::ifstream in(root / "proc/net/ipv6_route");
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCount, use, flags, iface;
            if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refCount >> use >> flags >> iface)) {
                continue;
            }
            unsigned flagBits = 0;
            if (!parseHex(flags, flagBits)) continue;
            if (destination != std::string(32, '0') || prefix != "00") continue;
            if ((flagBits & kRouteUp) == 0 || (flagBits & kRouteReject) != 0 || iface == "lo") continue;
            addOnce(names, iface);
        }
    }
    return names;
}

}  // namespace lumivex::platform

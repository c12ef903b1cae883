#pragma once
// Whether the agent reaches the internet with a public address or from
// behind address translation, per protocol family: the controller's
// address-echo endpoint reports the address a request came from, which is
// compared with the local address of the socket that sent it.

#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_sdk {

// Asks base + "/ip" once for each base URL that is given (IPv4 first).
// Entries: "IPv4"/"IPv6" = "PUBLIC", "NAT" or "UNKNOWN" for each given base,
// and "IPv4_IP"/"IPv6_IP" = the reported address when it is not empty.
// The comparison is textual. Never throws; blocks for up to two requests.
std::map<std::string, std::string> checkAgentIp(const std::optional<std::string>& controllerIpv4,
                                                const std::optional<std::string>& controllerIpv6);

}  // namespace trevask::measurement_sdk

#pragma once
// Codes of the kind of network connection, as samples and reports carry them.

#include <optional>
#include <string>

namespace trevask::measurement_library {

enum NetworkTypeId : int {
    NETWORK_TYPE_UNKNOWN = 95,  // not determined
    NETWORK_TYPE_LAN = 98,
    NETWORK_TYPE_WLAN = 99,
    NETWORK_TYPE_CELLULAR = 105,  // never produced on a desktop
};

// "UNKNOWN", "LAN", "WLAN", "CELLULAR"; no value for any other code.
inline std::optional<std::string> networkTechnology(int code) {
    switch (code) {
        case NETWORK_TYPE_UNKNOWN: return "UNKNOWN";
        case NETWORK_TYPE_LAN: return "LAN";
        case NETWORK_TYPE_WLAN: return "WLAN";
        case NETWORK_TYPE_CELLULAR: return "CELLULAR";
        default: return std::nullopt;
    }
}

}  // namespace trevask::measurement_library

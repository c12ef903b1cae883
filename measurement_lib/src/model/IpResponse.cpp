#include "model/IpResponse.h"

#include "model/JsonMembers.h"

namespace json = boost::json;

namespace trevask::measurement_library {

std::unique_ptr<IpResponse> IpResponseReader(const json::value& value) {
    const auto& root = requireObject(value);
    auto response = std::make_unique<IpResponse>();
    auto it = root.find("data");
    if (it != root.end()) {
        const auto& data = requireObject(it->value());
        readString(data, "ip_address", response->ip_address);
        readString(data, "ip_version", response->ip_version);
    }
    return response;
}

}  // namespace trevask::measurement_library

#include "StartParameters.h"

#include <boost/json.hpp>

namespace json = boost::json;

namespace lumivex::cli {

const std::vector<std::string>& allQosTypes() {
    static const std::vector<std::string> types{"TCP",  "UDP", "NON_TRANSPARENT_PROXY", "SIP",
                                                "VOIP", "DNS", "TRACEROUTE",            "HTTP_PROXY"};
    return types;
}

std::string startParametersJson(const MeasureRequest& request) {
    json::object o;
    o["controllerUrl"] = request.controllerUrl;
    o["agentUuid"] = request.agentUuid;
    o["performSpeed"] = request.speed;
    o["performQos"] = request.qos;
    if (request.qos) {
        json::object types;
        for (const auto& type : request.qosTypes.empty() ? allQosTypes() : request.qosTypes) types[type] = true;
        o["performQosType"] = std::move(types);
    }
    return json::serialize(o);
}

std::string registrationUrl(const std::string& controllerUrl) {
    std::string url = controllerUrl;
    if (url.find("/api/v") == std::string::npos) {
        while (!url.empty() && url.back() == '/') url.pop_back();
        url += "/api/v1";
    }
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

}  // namespace lumivex::cli

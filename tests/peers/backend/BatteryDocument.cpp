#include "BatteryDocument.h"

#include <boost/json.hpp>

#include <limits>
#include <stdexcept>

namespace json = boost::json;

namespace lumivex::test {

namespace {

json::object option(const char* name, const std::string& value) { return {{"name", name}, {"value", value}}; }

// Every objective's common members. On loopback each test ends within about
// a second; the time-outs leave a loaded machine ample room.
json::object objective(const char* type, const char* uid, const char* timeoutNs) {
    return {{"qostest", type}, {"qos_test_uid", uid}, {"concurrency_group", 1}, {"timeout", timeoutNs}};
}

std::uint16_t portOf(const json::value& value, const char* what) {
    if (!value.is_number()) throw std::invalid_argument(std::string(what) + " is not a number");
    boost::system::error_code ec;
    const auto number = value.to_number<std::int64_t>(ec);
    if (ec || number <= 0 || number > std::numeric_limits<std::uint16_t>::max()) {
        throw std::invalid_argument(std::string(what) + " is not a port");
    }
    return static_cast<std::uint16_t>(number);
}

json::object portLine(const std::string& line) {
    boost::system::error_code ec;
    json::value value = json::parse(line, ec);
    if (ec || !value.is_object()) throw std::invalid_argument("not a JSON object: " + line);
    return value.as_object();
}

const json::value& member(const json::object& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw std::invalid_argument(std::string("no \"") + key + "\"");
    return it->value();
}

std::vector<std::uint16_t> portList(const json::object& object, const char* key) {
    const json::value& list = member(object, key);
    if (!list.is_array()) throw std::invalid_argument(std::string("\"") + key + "\" is not a list");
    std::vector<std::uint16_t> ports;
    for (const auto& port : list.as_array()) ports.push_back(portOf(port, key));
    return ports;
}

json::array qosObjectives(const BatteryOptions& battery, json::object& objectives) {
    const BatteryQosServer& qos = *battery.qos;
    if (qos.tcpPorts.size() < 3 || qos.udpPorts.size() < 2) {
        throw std::invalid_argument("the QoS server needs at least 3 TCP and 2 UDP test ports");
    }
    auto add = [&](const char* type, json::object o) { objectives[type] = json::array{std::move(o)}; };

    json::object tcp = objective("TCP", "1", "10000000000");
    tcp["out_port"] = std::to_string(qos.tcpPorts[0]);
    add("TCP", std::move(tcp));

    json::object udp = objective("UDP", "2", "10000000000");
    udp["out_port"] = std::to_string(qos.udpPorts[0]);
    udp["out_num_packets"] = "10";
    udp["delay"] = "10000000";  // 10 ms between datagrams
    add("UDP", std::move(udp));

    json::object proxy = objective("NON_TRANSPARENT_PROXY", "3", "10000000000");
    proxy["port"] = std::to_string(qos.tcpPorts[1]);
    proxy["request"] = "GET / HTTP/1.1";
    add("NON_TRANSPARENT_PROXY", std::move(proxy));

    json::object sip = objective("SIP", "4", "10000000000");
    sip["port"] = std::to_string(qos.tcpPorts[2]);
    sip["count"] = "1";
    sip["from"] = "agent@lumivex.test";
    sip["to"] = "server@lumivex.test";
    sip["via"] = "";
    sip["call_duration"] = "200000000";  // 200 ms
    add("SIP", std::move(sip));

    json::object voip = objective("VOIP", "5", "15000000000");
    voip["out_port"] = std::to_string(qos.udpPorts[1]);
    voip["call_duration"] = "1000000000";  // 1 s: 50 RTP packets each way
    add("VOIP", std::move(voip));

    json::object trace = objective("TRACEROUTE", "6", "15000000000");
    trace["host"] = battery.tracerouteHost;
    trace["max_hops"] = "3";
    add("TRACEROUTE", std::move(trace));

    if (!battery.httpObjectUrl.empty()) {
        json::object http = objective("HTTP_PROXY", "7", "10000000000");
        http["url"] = battery.httpObjectUrl;
        add("HTTP_PROXY", std::move(http));
    }

    int uid = 8;
    json::array dns;
    for (const auto& query : battery.dns) {
        json::object o = objective("DNS", "", "10000000000");
        o["qos_test_uid"] = std::to_string(uid++);
        o["host"] = query.host;
        o["record"] = query.record;
        o["resolver"] = battery.dnsResolver;
        dns.push_back(std::move(o));
    }
    if (!dns.empty()) objectives["DNS"] = std::move(dns);

    return json::array{option("server_addr", qos.host), option("server_port", std::to_string(qos.controlPort)),
                       option("encryption", qos.tls ? "true" : "false")};
}

}  // namespace

std::string httpObjectBody() {
    // 64 KiB of a repeating, recognisable pattern.
    std::string body;
    body.reserve(65536);
    while (body.size() < 65536) body += "lumivex measurement object\n";
    body.resize(65536);
    return body;
}

std::string batteryControlDocument(const BatteryOptions& battery) {
    json::array tasks;
    if (battery.speed) {
        const BatterySpeedServer& s = *battery.speed;
        tasks.push_back(json::object{
            {"name", "SPEED"},
            {"option", json::array{option("server_name", "speed_server"), option("server_location", "loopback"),
                                   option("server_addr", s.host), option("server_port", std::to_string(s.tcpPort)),
                                   option("server_port_udp", std::to_string(s.udpPort)),
                                   option("encryption", "false"), option("auth_token", s.token)}},
            {"program", ""}});
    }
    if (battery.qos) {
        json::object objectives;
        json::array options = qosObjectives(battery, objectives);
        options.push_back(json::object{
            {"name", "qos"},
            {"value", ""},
            {"measurement-parameters", json::object{{"deserialize_type", "qos_params"}, {"objectives", objectives}}}});
        tasks.push_back(json::object{{"name", "QOS"}, {"option", std::move(options)}, {"program", ""}});
    }
    json::object action{{"name", "report"},
                        {"task", battery.qos ? "QOS" : "SPEED"},
                        {"option", json::array{option("result_collector_base_url", battery.collectorUrl)}}};
    json::object document{
        {"tasks", std::move(tasks)},
        {"schedules", json::array{json::object{{"name", "now"}, {"action", json::array{std::move(action)}}}}},
        {"additional-response-info", json::object{{"provider_name", "Loopback"}, {"public_ip", "127.0.0.1"}}}};
    return json::serialize(document);
}

BatterySpeedServer speedServerFromPortLine(const std::string& line) {
    const json::object o = portLine(line);
    BatterySpeedServer server;
    server.tcpPort = portOf(member(o, "tcp_port"), "tcp_port");
    server.udpPort = portOf(member(o, "udp_port"), "udp_port");
    return server;
}

BatteryQosServer qosServerFromPortLine(const std::string& line) {
    const json::object o = portLine(line);
    BatteryQosServer server;
    server.controlPort = portOf(member(o, "control_port"), "control_port");
    if (auto it = o.find("tls"); it != o.end()) {
        if (!it->value().is_bool()) throw std::invalid_argument("\"tls\" is not a bool");
        server.tls = it->value().as_bool();
    }
    server.tcpPorts = portList(o, "tcp_ports");
    server.udpPorts = portList(o, "udp_ports");
    return server;
}

}  // namespace lumivex::test

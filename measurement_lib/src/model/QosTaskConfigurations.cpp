#include "model/QosTaskConfigurations.h"

#include "model/JsonMembers.h"
#include "model/TaskConfigurationReading.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using detail::startTaskConfiguration;

std::unique_ptr<TcpTaskConfiguration> readTcpTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<TcpTaskConfiguration>(value, obj);
    readString(*obj, "in_port", c->in_port);
    readString(*obj, "out_port", c->out_port);
    return c;
}

std::unique_ptr<UdpTaskConfiguration> readUdpTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<UdpTaskConfiguration>(value, obj);
    readString(*obj, "delay", c->delay);
    readString(*obj, "out_num_packets", c->out_num_packets);
    readString(*obj, "out_port", c->out_port);
    return c;
}

std::unique_ptr<NonTransparentProxyTaskConfiguration> readNonTransparentProxyTaskConfiguration(
    const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<NonTransparentProxyTaskConfiguration>(value, obj);
    readString(*obj, "request", c->request);
    readString(*obj, "port", c->port);
    return c;
}

std::unique_ptr<SipTaskConfiguration> readSipTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<SipTaskConfiguration>(value, obj);
    readString(*obj, "port", c->port);
    readString(*obj, "count", c->count);
    readString(*obj, "from", c->from);
    readString(*obj, "to", c->to);
    readString(*obj, "call_duration", c->call_duration);
    readString(*obj, "via", c->via);
    return c;
}

std::unique_ptr<VoipTaskConfiguration> readVoipTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<VoipTaskConfiguration>(value, obj);
    readString(*obj, "call_duration", c->call_duration);
    readNumber(*obj, "call_duration_ns", c->call_duration_ns);
    readString(*obj, "out_port", c->out_port);
    readNumber(*obj, "sample_rate", c->sample_rate);
    readNumber(*obj, "bps", c->bps);
    readString(*obj, "delay", c->delay);
    readNumber(*obj, "payload", c->payload);
    readNumber(*obj, "buffer", c->buffer);
    return c;
}

std::unique_ptr<DnsTaskConfiguration> readDnsTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<DnsTaskConfiguration>(value, obj, /*readHost=*/false);
    readString(*obj, "host", c->queryHost);
    readOptionalString(*obj, "record", c->record);
    readOptionalString(*obj, "resolver", c->resolver);
    return c;
}

std::unique_ptr<TracerouteTaskConfiguration> readTracerouteTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<TracerouteTaskConfiguration>(value, obj, /*readHost=*/false);
    readString(*obj, "host", c->targetHost);
    readString(*obj, "max_hops", c->max_hops);
    return c;
}

std::unique_ptr<HttpProxyTaskConfiguration> readHttpProxyTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<HttpProxyTaskConfiguration>(value, obj);
    readOptionalString(*obj, "download_timeout", c->download_timeout);
    readOptionalString(*obj, "url", c->url);
    readOptionalString(*obj, "conn_timeout", c->conn_timeout);
    readOptionalString(*obj, "range", c->range);
    return c;
}

}  // namespace trevask::measurement_library

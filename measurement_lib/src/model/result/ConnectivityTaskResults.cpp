#include "model/result/ConnectivityTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void TcpTaskResultWriter(json::value& value, const TcpTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setUnsigned(obj, "tcp_objective_in_port", r.tcp_objective_in_port);
    setUnsigned(obj, "tcp_objective_out_port", r.tcp_objective_out_port);
    setString(obj, "tcp_result_in", r.tcp_result_in);
    setString(obj, "tcp_result_out", r.tcp_result_out);
    setString(obj, "tcp_result_in_response", r.tcp_result_in_response);
    setString(obj, "tcp_result_out_response", r.tcp_result_out_response);
}

void UdpTaskResultWriter(json::value& value, const UdpTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setUnsigned(obj, "udp_result_out_num_packets", r.udp_result_out_num_packets);
    setUnsigned(obj, "udp_result_out_packet_loss_rate", r.udp_result_out_packet_loss_rate);
    setUInt64(obj, "udp_result_out_rtt_avg_ns", r.udp_result_out_rtt_avg_ns);
    json::object& rtts = obj["udp_result_out_rtts"].emplace_object();
    for (const auto& [index, rtt] : r.udp_result_out_rtts) rtts[index] = rtt;
    setUnsigned(obj, "udp_result_out_response_num_packets", r.udp_result_out_response_num_packets);
    setUnsigned(obj, "udp_objective_out_num_packets", r.udp_objective_out_num_packets);
    setUnsigned(obj, "udp_objective_out_port", r.udp_objective_out_port);
    setUnsigned(obj, "udp_objective_delay", r.udp_objective_delay);
    setUnsigned(obj, "udp_objective_timeout", r.udp_objective_timeout);
}

void NonTransparentProxyTaskResultWriter(json::value& value, const NonTransparentProxyTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setUnsigned(obj, "nontransproxy_objective_port", r.nontransproxy_objective_port);
    setString(obj, "nontransproxy_objective_request", r.nontransproxy_objective_request);
    setString(obj, "nontransproxy_result_response", r.nontransproxy_result_response);
    setString(obj, "nontransproxy_result", r.nontransproxy_result);
}

void HttpProxyTaskResultWriter(json::value& value, const HttpProxyTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setOptionalString(obj, "http_objective_range", r.http_objective_range);
    setOptionalString(obj, "http_objective_url", r.http_objective_url);
    setOptionalString(obj, "http_result_hash", r.http_result_hash);
    setOptionalString(obj, "http_result_status", r.http_result_status);
    setOptionalString(obj, "http_result_length", r.http_result_length);
    setOptionalString(obj, "http_result_header", r.http_result_header);
}

}  // namespace trevask::measurement_library

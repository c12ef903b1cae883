#pragma once
// Results of the TCP, UDP, non-transparent-proxy and HTTP-proxy tests.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct TcpTaskResult : TaskResult {
    std::uint16_t tcp_objective_in_port = 0;
    std::uint16_t tcp_objective_out_port = 0;
    std::string tcp_result_in;
    std::string tcp_result_out;
    std::string tcp_result_in_response;
    std::string tcp_result_out_response;
};

struct UdpTaskResult : TaskResult {
    std::uint32_t udp_result_out_num_packets = 0;
    std::uint32_t udp_result_out_response_num_packets = 0;
    std::uint32_t udp_result_out_packet_loss_rate = 0;  // whole percent
    std::uint64_t udp_result_out_rtt_avg_ns = 0;
    std::uint64_t udp_objective_out_num_packets = 0;
    std::uint32_t udp_objective_out_port = 0;
    std::uint64_t udp_objective_delay = 0;
    std::uint64_t udp_objective_timeout = 0;
    // Packet index as decimal text -> round-trip time in ns. Ordered byte-wise
    // as texts, so "10" precedes "2".
    std::map<std::string, std::uint64_t> udp_result_out_rtts;
};

struct NonTransparentProxyTaskResult : TaskResult {
    std::uint16_t nontransproxy_objective_port = 0;
    std::string nontransproxy_objective_request;
    std::string nontransproxy_result_response;
    std::string nontransproxy_result;
};

struct HttpProxyTaskResult : TaskResult {
    std::optional<std::string> http_objective_range;
    std::optional<std::string> http_objective_url;
    std::optional<std::string> http_result_hash;
    std::optional<std::string> http_result_status;
    std::optional<std::string> http_result_length;
    std::optional<std::string> http_result_header;
};

void TcpTaskResultWriter(boost::json::value& value, const TcpTaskResult& result);
void UdpTaskResultWriter(boost::json::value& value, const UdpTaskResult& result);
void NonTransparentProxyTaskResultWriter(boost::json::value& value, const NonTransparentProxyTaskResult& result);
void HttpProxyTaskResultWriter(boost::json::value& value, const HttpProxyTaskResult& result);

}  // namespace trevask::measurement_library

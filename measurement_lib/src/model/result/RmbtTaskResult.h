#pragma once
// Result of a speed test run with an RMBT client.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct RmbtRttTcpPayloadValue {
    std::int64_t rtt_client_ns = 0;
    std::int64_t rtt_server_ns = 0;
    std::int64_t time_end_rel_ns = 0;
    std::int64_t time_start_rel_ns = 0;
};

struct RmbtRttTcpPayload {
    std::vector<RmbtRttTcpPayloadValue> values;
};

struct RmbtTaskResult : TaskResult {
    std::optional<std::string> res_id_test;
    std::int64_t res_time_start_s = 0;
    std::int64_t res_time_end_s = 0;
    std::optional<std::string> res_status;
    std::optional<std::string> res_status_msg;
    std::optional<std::string> res_version_client;
    std::optional<std::string> res_server_ip;
    std::int32_t res_server_port = 0;
    bool res_encrypt = false;
    std::optional<std::string> res_cipher;
    std::int32_t res_chunksize = 0;
    std::optional<std::string> res_tcp_congestion;
    std::int64_t res_total_bytes_dl = 0;
    std::int64_t res_total_bytes_ul = 0;
    std::optional<std::string> res_uname_sysname;
    std::optional<std::string> res_uname_nodename;
    std::optional<std::string> res_uname_release;
    std::optional<std::string> res_uname_version;
    std::optional<std::string> res_uname_machine;
    std::int32_t res_rtt_tcp_payload_num = 0;
    std::int64_t res_rtt_tcp_payload_client_ns = 0;
    std::int64_t res_rtt_tcp_payload_server_ns = 0;
    std::int32_t res_dl_num_flows = 0;
    std::int64_t res_dl_time_ns = 0;
    std::int64_t res_dl_bytes = 0;
    double res_dl_throughput_kbps = 0.0;
    std::int32_t res_ul_num_flows = 0;
    std::int64_t res_ul_time_ns = 0;
    std::int64_t res_ul_bytes = 0;
    double res_ul_throughput_kbps = 0.0;
    RmbtRttTcpPayload rtt_tcp_payload;
    std::int64_t test_ping_shortest = 0;
    std::optional<std::string> uuid;
    std::optional<std::string> opentest_uuid;
    std::optional<std::string> test_token;
};

void RmbtTaskResultWriter(boost::json::value& value, const RmbtTaskResult& result);
void RmbtRttTcpPayloadWriter(boost::json::value& value, const RmbtRttTcpPayload& payload);

}  // namespace trevask::measurement_library

#include "model/result/RmbtTaskResult.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void RmbtRttTcpPayloadWriter(json::value& value, const RmbtRttTcpPayload& payload) {
    json::object& obj = makeObject(value);
    setArray(obj, "values", payload.values, [](json::value& v, const RmbtRttTcpPayloadValue& s) {
        json::object& o = makeObject(v);
        setSigned(o, "rtt_client_ns", s.rtt_client_ns);
        setSigned(o, "rtt_server_ns", s.rtt_server_ns);
        setSigned(o, "time_end_rel_ns", s.time_end_rel_ns);
        setSigned(o, "time_start_rel_ns", s.time_start_rel_ns);
    });
}

void RmbtTaskResultWriter(json::value& value, const RmbtTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setOptionalString(obj, "res_id_test", r.res_id_test);
    setSigned(obj, "res_time_start_s", r.res_time_start_s);
    setSigned(obj, "res_time_end_s", r.res_time_end_s);
    setOptionalString(obj, "res_status", r.res_status);
    setOptionalString(obj, "res_status_msg", r.res_status_msg);
    setOptionalString(obj, "res_version_client", r.res_version_client);
    setOptionalString(obj, "res_server_ip", r.res_server_ip);
    setSigned(obj, "res_server_port", r.res_server_port);
    setBool(obj, "res_encrypt", r.res_encrypt);
    setOptionalString(obj, "res_cipher", r.res_cipher);
    setSigned(obj, "res_chunksize", r.res_chunksize);
    setOptionalString(obj, "res_tcp_congestion", r.res_tcp_congestion);
    setSigned(obj, "res_total_bytes_dl", r.res_total_bytes_dl);
    setSigned(obj, "res_total_bytes_ul", r.res_total_bytes_ul);
    setOptionalString(obj, "res_uname_sysname", r.res_uname_sysname);
    setOptionalString(obj, "res_uname_nodename", r.res_uname_nodename);
    setOptionalString(obj, "res_uname_release", r.res_uname_release);
    setOptionalString(obj, "res_uname_version", r.res_uname_version);
    setOptionalString(obj, "res_uname_machine", r.res_uname_machine);
    setSigned(obj, "res_rtt_tcp_payload_num", r.res_rtt_tcp_payload_num);
    setSigned(obj, "res_rtt_tcp_payload_client_ns", r.res_rtt_tcp_payload_client_ns);
    setSigned(obj, "res_rtt_tcp_payload_server_ns", r.res_rtt_tcp_payload_server_ns);
    setSigned(obj, "res_dl_num_flows", r.res_dl_num_flows);
    setSigned(obj, "res_dl_time_ns", r.res_dl_time_ns);
    setSigned(obj, "res_dl_bytes", r.res_dl_bytes);
    setDouble(obj, "res_dl_throughput_kbps", r.res_dl_throughput_kbps);
    setSigned(obj, "res_ul_num_flows", r.res_ul_num_flows);
    setSigned(obj, "res_ul_time_ns", r.res_ul_time_ns);
    setSigned(obj, "res_ul_bytes", r.res_ul_bytes);
    setDouble(obj, "res_ul_throughput_kbps", r.res_ul_throughput_kbps);
    RmbtRttTcpPayloadWriter(obj["rtt_tcp_payload"], r.rtt_tcp_payload);
    setSigned(obj, "test_ping_shortest", r.test_ping_shortest);
    setOptionalString(obj, "uuid", r.uuid);
    setOptionalString(obj, "opentest_uuid", r.opentest_uuid);
    setOptionalString(obj, "test_token", r.test_token);
}

}  // namespace trevask::measurement_library

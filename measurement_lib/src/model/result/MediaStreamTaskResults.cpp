#include "model/result/MediaStreamTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

namespace {

template <typename Record, typename Writer>
void setOwned(json::object& obj, std::string_view key, const std::unique_ptr<Record>& record, Writer writer) {
    json::value& slot = obj[key];
    slot = nullptr;
    if (record) writer(slot, *record);
}

}  // namespace

void VoipPjsipDelayStatisticsWriter(json::value& value, const VoipPjsipDelayStatistics& s) {
    json::object& obj = makeObject(value);
    setDouble(obj, "min", s.min);
    setDouble(obj, "avg", s.avg);
    setDouble(obj, "max", s.max);
}

void VoipPjsipPacketCountsWriter(json::value& value, const VoipPjsipPacketCounts& c) {
    json::object& obj = makeObject(value);
    setSigned(obj, "lost", c.lost);
    setSigned(obj, "discard", c.discard);
    setSigned(obj, "duplicate", c.duplicate);
    setSigned(obj, "reorder", c.reorder);
    setSigned(obj, "total", c.total);  // first in the record, last in the object
}

void VoipPjsipCallResultWriter(json::value& value, const VoipPjsipCallResult& r) {
    json::object& obj = makeObject(value);
    setOwned(obj, "jitter", r.jitter, VoipPjsipDelayStatisticsWriter);
    setOwned(obj, "raw_jitter", r.raw_jitter, VoipPjsipDelayStatisticsWriter);
    setOwned(obj, "ipdv", r.ipdv, VoipPjsipDelayStatisticsWriter);
    setOwned(obj, "rtt", r.rtt, VoipPjsipDelayStatisticsWriter);
    setOwned(obj, "transmitted_packets", r.transmitted_packets, VoipPjsipPacketCountsWriter);
    setOwned(obj, "received_packets", r.received_packets, VoipPjsipPacketCountsWriter);
    setSigned(obj, "average_noise_level", r.average_noise_level);
    setSigned(obj, "average_signal_level", r.average_signal_level);
    setSigned(obj, "median_noise_level", r.median_noise_level);
    setSigned(obj, "median_signal_level", r.median_signal_level);
    setSigned(obj, "round_trip_delay", r.round_trip_delay);
    setSigned(obj, "end_system_delay", r.end_system_delay);
    setSigned(obj, "call_setup_msec", r.call_setup_msec);
    setDouble(obj, "outgoing_estimated_mos", r.outgoing_estimated_mos);
    setDouble(obj, "incoming_estimated_mos", r.incoming_estimated_mos);
    setBool(obj, "register_successful", r.register_successful);
    setBool(obj, "call_successful", r.call_successful);
}

void VoipPjsipTaskResultWriter(json::value& value, const VoipPjsipTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "voip_pjsip_objective_call_to_uri", r.voip_pjsip_objective_call_to_uri);
    setString(obj, "voip_pjsip_objective_public_address", r.voip_pjsip_objective_public_address);
    setString(obj, "voip_pjsip_objective_credentials_server", r.voip_pjsip_objective_credentials_server);
    setString(obj, "voip_pjsip_objective_credentials_id", r.voip_pjsip_objective_credentials_id);
    setString(obj, "voip_pjsip_objective_credentials_username", r.voip_pjsip_objective_credentials_username);
    setString(obj, "voip_pjsip_objective_credentials_realm", r.voip_pjsip_objective_credentials_realm);
    setUnsigned(obj, "voip_pjsip_objective_server_register_timeout_ns", r.voip_pjsip_objective_server_register_timeout_ns);
    setUnsigned(obj, "voip_pjsip_objective_call_duration_ns", r.voip_pjsip_objective_call_duration_ns);
    VoipPjsipCallResultWriter(obj["voip_pjsip_result"], r.voip_pjsip_result);
}

void MulticastRtpTaskResultWriter(json::value& value, const MulticastRtpTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setUnsigned(obj, "multicast_rtp_objective_port", r.multicast_rtp_objective_port);
    setString(obj, "multicast_rtp_objective_multicast_address", r.multicast_rtp_objective_multicast_address);
    setUnsigned(obj, "multicast_rtp_objective_stream_duration_ns", r.multicast_rtp_objective_stream_duration_ns);
    setUInt64(obj, "multicast_rtp_objective_buffer_ns", r.multicast_rtp_objective_buffer_ns);
    setSigned(obj, "multicast_rtp_result_num_packets", r.multicast_rtp_result_num_packets);
    setSigned(obj, "multicast_rtp_result_sequence_error", r.multicast_rtp_result_sequence_error);
    setSigned(obj, "multicast_rtp_result_mean_jitter", r.multicast_rtp_result_mean_jitter);
    setSigned(obj, "multicast_rtp_result_max_jitter", r.multicast_rtp_result_max_jitter);
    setSigned(obj, "multicast_rtp_result_skew", r.multicast_rtp_result_skew);
    setSigned(obj, "multicast_rtp_result_max_delta", r.multicast_rtp_result_max_delta);
    setSigned(obj, "multicast_rtp_result_short_seq", r.multicast_rtp_result_short_seq);
    setSigned(obj, "multicast_rtp_result_long_seq", r.multicast_rtp_result_long_seq);
    setSigned(obj, "multicast_rtp_result_stalls", r.multicast_rtp_result_stalls);
    setSigned(obj, "multicast_rtp_result_avg_stall_time", r.multicast_rtp_result_avg_stall_time);
    setSigned(obj, "multicast_rtp_result_sample_rate", r.multicast_rtp_result_sample_rate);
}

}  // namespace trevask::measurement_library

#include "model/result/TelephonyTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void SipTaskResultWriter(json::value& value, const SipTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "sip_objective_port", r.sip_objective_port);
    setString(obj, "sip_objective_count", r.sip_objective_count);
    setString(obj, "sip_objective_from", r.sip_objective_from);
    setString(obj, "sip_objective_to", r.sip_objective_to);
    setString(obj, "sip_objective_call_duration", r.sip_objective_call_duration);
    setString(obj, "sip_objective_via", r.sip_objective_via);
    // Single-precision ratios widened as they are (0.1f stays 0.10000000149...).
    setDouble(obj, "sip_result_ccsr", static_cast<double>(r.sip_result_ccsr));
    setDouble(obj, "sip_result_cssr", static_cast<double>(r.sip_result_cssr));
    setDouble(obj, "sip_result_dcr", static_cast<double>(r.sip_result_dcr));
    setString(obj, "sip_result", r.sip_result);
}

void VoipTaskResultWriter(json::value& value, const VoipTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setUnsigned(obj, "voip_objective_payload", r.voip_objective_payload);
    setUnsigned(obj, "voip_objective_buffer", r.voip_objective_buffer);
    setUnsigned(obj, "voip_objective_out_port", r.voip_objective_out_port);
    setUInt64(obj, "voip_objective_call_duration", r.voip_objective_call_duration);
    setUInt32(obj, "voip_objective_bits_per_sample", r.voip_objective_bits_per_sample);
    setUnsigned(obj, "voip_objective_sample_rate", r.voip_objective_sample_rate);
    setUnsigned(obj, "voip_objective_delay", r.voip_objective_delay);
    setString(obj, "voip_result_status", r.voip_result_status);
    setSigned(obj, "voip_result_in_max_jitter", r.voip_result_in_max_jitter);
    setSigned(obj, "voip_result_in_mean_jitter", r.voip_result_in_mean_jitter);
    setSigned(obj, "voip_result_in_max_delta", r.voip_result_in_max_delta);
    setUnsigned(obj, "voip_result_in_num_packets", r.voip_result_in_num_packets);
    setSigned(obj, "voip_result_in_skew", r.voip_result_in_skew);
    setSigned(obj, "voip_result_out_max_jitter", r.voip_result_out_max_jitter);
    setSigned(obj, "voip_result_out_mean_jitter", r.voip_result_out_mean_jitter);
    setSigned(obj, "voip_result_out_max_delta", r.voip_result_out_max_delta);
    setUnsigned(obj, "voip_result_out_num_packets", r.voip_result_out_num_packets);
    setSigned(obj, "voip_result_out_skew", r.voip_result_out_skew);
    setUnsigned(obj, "voip_result_in_sequence_error", r.voip_result_in_sequence_error);
    setUnsigned(obj, "voip_result_out_sequence_error", r.voip_result_out_sequence_error);
    setUnsigned(obj, "voip_result_in_short_seq", r.voip_result_in_short_seq);
    setUnsigned(obj, "voip_result_out_short_seq", r.voip_result_out_short_seq);
    setUnsigned(obj, "voip_result_in_long_seq", r.voip_result_in_long_seq);
    setUnsigned(obj, "voip_result_out_long_seq", r.voip_result_out_long_seq);
}

}  // namespace trevask::measurement_library

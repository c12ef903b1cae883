#pragma once
// Results of the SIP and VoIP (RTP) tests. In the VoIP record "in" is the
// stream from the QoS server to the agent, "out" the other direction.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <string>

namespace trevask::measurement_library {

struct SipTaskResult : TaskResult {
    std::string sip_objective_port;
    std::string sip_objective_count;
    std::string sip_objective_from;
    std::string sip_objective_to;
    std::string sip_objective_call_duration;
    std::string sip_objective_via;
    float sip_result_ccsr = 0.0f;  // call completion success ratio
    float sip_result_cssr = 0.0f;  // call set-up success ratio
    float sip_result_dcr = 0.0f;   // dropped-call ratio
    std::string sip_result;
};

struct VoipTaskResult : TaskResult {
    std::uint32_t voip_objective_payload = 0;
    std::uint64_t voip_objective_buffer = 0;
    std::uint32_t voip_objective_out_port = 0;
    std::uint64_t voip_objective_call_duration = 0;  // ns
    std::uint32_t voip_objective_bits_per_sample = 0;
    std::uint32_t voip_objective_sample_rate = 0;    // Hz
    std::uint64_t voip_objective_delay = 0;          // ns
    std::string voip_result_status;
    std::int64_t voip_result_in_max_jitter = 0;
    std::int64_t voip_result_in_mean_jitter = 0;
    std::int64_t voip_result_in_max_delta = 0;
    std::uint64_t voip_result_in_num_packets = 0;
    std::int64_t voip_result_in_skew = 0;
    std::int64_t voip_result_out_max_jitter = 0;
    std::int64_t voip_result_out_mean_jitter = 0;
    std::int64_t voip_result_out_max_delta = 0;
    std::uint64_t voip_result_out_num_packets = 0;
    std::int64_t voip_result_out_skew = 0;
    std::uint32_t voip_result_in_sequence_error = 0;
    std::uint32_t voip_result_out_sequence_error = 0;
    std::uint32_t voip_result_in_short_seq = 0;
    std::uint32_t voip_result_out_short_seq = 0;
    std::uint32_t voip_result_in_long_seq = 0;
    std::uint32_t voip_result_out_long_seq = 0;
};

void SipTaskResultWriter(boost::json::value& value, const SipTaskResult& result);
void VoipTaskResultWriter(boost::json::value& value, const VoipTaskResult& result);

}  // namespace trevask::measurement_library

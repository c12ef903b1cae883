// Reading the speed-test client's result JSON: a full result as the client
// writes it, the reader's leniency member by member, and its two failures.

#include "model/result/SprintMeasurementResult.h"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

using namespace trevask::measurement_library;

namespace {

// A compact result in the client's format: all four phases, the configuration
// echo and the server information (both ignored by the reader).
const char* kClientResult =
    R"({"rtt_tcp":{"relative_start_time_ns":2512000000,"duration_ns":104000000,"num_requested":10,"num_sent":10,)"
    R"("rtt_min_ns":810000,"rtt_max_ns":2450000,"rtt_avg_ns":1120000,"rtt_med_ns":1010000,"rtt_std_dev_ns":450000,)"
    R"("rtt_var_ns":202500000000.0,"jitter_min_ns":10000,"jitter_max_ns":1440000,"jitter_avg_ns":300000,)"
    R"("jitter_med_ns":120000,"jitter_std_dev_ns":420000,"jitter_var_ns":1.764e17,)"
    R"("connection_stream_info":[{"client":{"local_ip":"127.0.0.1","local_port":40112,"remote_ip":"127.0.0.1","remote_port":8080},)"
    R"("server":{"local_ip":"127.0.0.1","local_port":8080,"remote_ip":null,"remote_port":null}}],)"
    R"("rtts":[{"time_ns":0,"rtt_ns":2450000},{"time_ns":10400000,"rtt_ns":810000}]},)"
    R"("rtt_udp":{"relative_start_time_ns":2620000000,"duration_ns":5100000000,"num_requested":3,"num_sent":3,)"
    R"("rtt_min_ns":700000,"rtt_max_ns":900000,"rtt_avg_ns":800000,"rtt_med_ns":800000,"rtt_std_dev_ns":100000,)"
    R"("rtt_var_ns":10000000000.0,"jitter_min_ns":200000,"jitter_max_ns":200000,"jitter_avg_ns":200000,)"
    R"("jitter_med_ns":200000,"jitter_std_dev_ns":0,"jitter_var_ns":0.0,"packet_loss":0.33333334,"num_lost":1,)"
    R"("num_out_of_order":1,"rtts":[{"time_ns":0,"rtt_ns":700000,"i":0},{"l":true,"i":1},{"time_ns":20000000,"rtt_ns":900000,"o":true,"i":2}]},)"
    R"("dl":{"relative_start_time_ns":7800000000,"duration_ns":7000000000,"pretest_duration_ns":2000000000,)"
    R"("bytes":875000000,"bps":1000000000,"raw_data":{"0":[{"time_ns":250000000,"b":31250000},{"time_ns":500000000,"b":62500000}],)"
    R"("1":[{"time_ns":250000000,"b":30000000}],"2":[],"10":[{"time_ns":250000000,"b":1}]},)"
    R"("connection_stream_info":[{"client":{"local_ip":"::1","local_port":40114,"remote_ip":"::1","remote_port":8080},"server":null}]},)"
    R"("ul":{"relative_start_time_ns":21000000000,"duration_ns":10000000000,"pretest_duration_ns":2000000000,"bytes":125000000,)"
    R"("bps":100000000,"raw_data":{},"connection_stream_info":[]},)"
    R"("client_config":{"host":"127.0.0.1","port_tcp":8080,"port_udp":8081,"tls":false,"raw_history_sampling_rate_ms":250,)"
    R"("total_timeout_s":null,"token":null,"secret_key":null},"server_info":{}})";

TEST(SprintMeasurementResultReader, ReadsAResultAsTheClientWritesIt) {
    const SprintMeasurementResult r = SprintMeasurementResultReader(kClientResult);

    ASSERT_TRUE(r.rtt_tcp);
    const SprintRttResult& tcp = *r.rtt_tcp;
    EXPECT_EQ(tcp.relative_start_time_ns, 2512000000u);
    EXPECT_EQ(tcp.duration_ns, 104000000u);
    EXPECT_EQ(tcp.num_requested, 10u);
    EXPECT_EQ(tcp.num_sent, 10u);
    EXPECT_EQ(tcp.rtt_avg_ns, 1120000u);
    EXPECT_EQ(tcp.rtt_var_ns, 202500000000u);
    EXPECT_EQ(tcp.jitter_var_ns, 176400000000000000u);
    ASSERT_TRUE(tcp.rtts);
    ASSERT_EQ(tcp.rtts->size(), 2u);
    EXPECT_EQ((*tcp.rtts)[1].time_ns, 10400000u);
    EXPECT_EQ((*tcp.rtts)[1].rtt_ns, 810000u);
    ASSERT_TRUE(tcp.connection_stream_info);
    ASSERT_EQ(tcp.connection_stream_info->size(), 1u);
    const SprintConnectionStreamInfo& stream = (*tcp.connection_stream_info)[0];
    ASSERT_TRUE(stream.client && stream.server);
    EXPECT_EQ(stream.client->local_port, 40112);
    EXPECT_EQ(stream.client->remote_ip, "127.0.0.1");
    EXPECT_EQ(stream.server->local_ip, "127.0.0.1");
    EXPECT_FALSE(stream.server->remote_ip);
    EXPECT_FALSE(stream.server->remote_port);

    ASSERT_TRUE(r.rtt_udp);
    const SprintRttUdpResult& udp = *r.rtt_udp;
    EXPECT_EQ(udp.packet_loss, 0.33333334f);
    EXPECT_EQ(udp.num_lost, 1u);
    EXPECT_EQ(udp.num_out_of_order, 1u);
    EXPECT_EQ(udp.jitter_var_ns, 0u);
    ASSERT_TRUE(udp.rtts);
    ASSERT_EQ(udp.rtts->size(), 3u);
    const SprintUdpRttSample& lost = (*udp.rtts)[1];
    EXPECT_FALSE(lost.time_ns);
    EXPECT_FALSE(lost.rtt_ns);
    EXPECT_EQ(lost.l, true);
    EXPECT_FALSE(lost.o);
    EXPECT_EQ(lost.i, 1u);
    EXPECT_EQ((*udp.rtts)[2].o, true);
    EXPECT_FALSE((*udp.rtts)[2].l);

    ASSERT_TRUE(r.dl);
    EXPECT_EQ(r.dl->pretest_duration_ns, 2000000000u);
    EXPECT_EQ(r.dl->bytes, 875000000u);
    EXPECT_EQ(r.dl->bps, 1000000000u);
    ASSERT_TRUE(r.dl->raw_data);
    std::vector<std::string> keys;
    for (const auto& [key, samples] : *r.dl->raw_data) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "1", "10", "2"}));
    EXPECT_EQ(r.dl->raw_data->at("0").size(), 2u);
    EXPECT_EQ(r.dl->raw_data->at("0")[1].b, 62500000u);
    EXPECT_TRUE(r.dl->raw_data->at("2").empty());
    ASSERT_TRUE(r.dl->connection_stream_info);
    EXPECT_FALSE((*r.dl->connection_stream_info)[0].server);

    ASSERT_TRUE(r.ul);
    ASSERT_TRUE(r.ul->raw_data);
    EXPECT_TRUE(r.ul->raw_data->empty());
    ASSERT_TRUE(r.ul->connection_stream_info);
    EXPECT_TRUE(r.ul->connection_stream_info->empty());
}

struct LenientCase {
    const char* name;
    std::string text;
    std::function<void(const SprintMeasurementResult&)> check;
};

std::string tcp(const std::string& members) { return R"({"rtt_tcp":{)" + members + "}}"; }
std::string udp(const std::string& members) { return R"({"rtt_udp":{)" + members + "}}"; }
std::string dl(const std::string& members) { return R"({"dl":{)" + members + "}}"; }

void PrintTo(const LenientCase& c, std::ostream* os) { *os << c.name; }

class Lenient : public ::testing::TestWithParam<LenientCase> {};

TEST_P(Lenient, AbsorbsDefectMemberByMember) {
    const LenientCase& c = GetParam();
    SprintMeasurementResult r;
    ASSERT_NO_THROW(r = SprintMeasurementResultReader(c.text)) << c.text;
    c.check(r);
}

const LenientCase kLenientCases[] = {
    {"empty_object", "{}",
     [](const auto& r) { EXPECT_FALSE(r.rtt_tcp || r.rtt_udp || r.dl || r.ul); }},
    {"phase_array_other_phase_read", R"({"rtt_tcp":[1],"rtt_udp":"x","ul":null,"dl":{"bytes":5}})",
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_tcp);
         EXPECT_FALSE(r.rtt_udp);
         EXPECT_FALSE(r.ul);
         ASSERT_TRUE(r.dl);
         EXPECT_EQ(r.dl->bytes, 5u);
     }},
    {"keys_are_case_sensitive", R"({"RTT_TCP":{},"Dl":{}})",
     [](const auto& r) { EXPECT_FALSE(r.rtt_tcp || r.dl); }},
    {"u64_whole_float", tcp(R"("rtt_var_ns":2500.0,"jitter_var_ns":1e16,"rtt_avg_ns":18446744073709551615)"),
     [](const auto& r) {
         EXPECT_EQ(r.rtt_tcp->rtt_var_ns, 2500u);
         EXPECT_EQ(r.rtt_tcp->jitter_var_ns, 10000000000000000u);
         EXPECT_EQ(r.rtt_tcp->rtt_avg_ns, 18446744073709551615u);
     }},
    {"u64_rejects", tcp(R"("rtt_var_ns":2500.5,"jitter_var_ns":-1,"rtt_avg_ns":18446744073709551616,"rtt_min_ns":"12","rtt_max_ns":null,"rtt_med_ns":true,"duration_ns":7)"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_tcp->rtt_var_ns);
         EXPECT_FALSE(r.rtt_tcp->jitter_var_ns);
         EXPECT_FALSE(r.rtt_tcp->rtt_avg_ns);
         EXPECT_FALSE(r.rtt_tcp->rtt_min_ns);
         EXPECT_FALSE(r.rtt_tcp->rtt_max_ns);
         EXPECT_FALSE(r.rtt_tcp->rtt_med_ns);
         EXPECT_EQ(r.rtt_tcp->duration_ns, 7u);
     }},
    {"u32_range", tcp(R"("num_sent":4294967296,"num_requested":3.0)"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_tcp->num_sent);
         EXPECT_EQ(r.rtt_tcp->num_requested, 3u);
     }},
    {"u32_rejects_fraction_sign_kind", udp(R"("num_lost":1.5,"num_out_of_order":-2,"num_sent":"3","num_requested":4294967295)"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_udp->num_lost);
         EXPECT_FALSE(r.rtt_udp->num_out_of_order);
         EXPECT_FALSE(r.rtt_udp->num_sent);
         EXPECT_EQ(r.rtt_udp->num_requested, 4294967295u);
     }},
    {"port_out_of_range_keeps_other_members",
     tcp(R"("connection_stream_info":[{"client":{"local_ip":"10.0.0.1","local_port":70000,"remote_ip":"10.0.0.2","remote_port":443.0}}])"),
     [](const auto& r) {
         const auto& client = *(*r.rtt_tcp->connection_stream_info)[0].client;
         EXPECT_FALSE(client.local_port);
         EXPECT_EQ(client.local_ip, "10.0.0.1");
         EXPECT_EQ(client.remote_ip, "10.0.0.2");
         EXPECT_EQ(client.remote_port, 443);
     }},
    {"list_with_non_object_is_dropped",
     tcp(R"("connection_stream_info":[{"client":null,"server":{"local_port":1}},5],"num_sent":2)"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_tcp->connection_stream_info);
         EXPECT_EQ(r.rtt_tcp->num_sent, 2u);
     }},
    {"endpoint_of_wrong_kind_is_absent",
     tcp(R"("connection_stream_info":[{"client":null,"server":{"local_port":1}},{"client":"x","server":[]}])"),
     [](const auto& r) {
         const auto& list = *r.rtt_tcp->connection_stream_info;
         ASSERT_EQ(list.size(), 2u);
         EXPECT_FALSE(list[0].client);
         EXPECT_EQ(list[0].server->local_port, 1);
         EXPECT_FALSE(list[1].client || list[1].server);
     }},
    {"list_of_wrong_kind", tcp(R"("rtts":{"time_ns":1},"connection_stream_info":"none")"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_tcp->rtts);
         EXPECT_FALSE(r.rtt_tcp->connection_stream_info);
     }},
    {"sample_member_of_wrong_kind", tcp(R"("rtts":[{"time_ns":5,"rtt_ns":"slow"},{}])"),
     [](const auto& r) {
         ASSERT_EQ(r.rtt_tcp->rtts->size(), 2u);
         EXPECT_EQ((*r.rtt_tcp->rtts)[0].time_ns, 5u);
         EXPECT_FALSE((*r.rtt_tcp->rtts)[0].rtt_ns);
         EXPECT_FALSE((*r.rtt_tcp->rtts)[1].time_ns);
     }},
    {"udp_flags_only_booleans", udp(R"("rtts":[{"l":1,"o":false,"i":-1},{"l":"true","o":null,"i":4294967295}])"),
     [](const auto& r) {
         const auto& s = *r.rtt_udp->rtts;
         EXPECT_FALSE(s[0].l);
         EXPECT_EQ(s[0].o, false);
         EXPECT_FALSE(s[0].i);
         EXPECT_FALSE(s[1].l);
         EXPECT_FALSE(s[1].o);
         EXPECT_EQ(s[1].i, 4294967295u);
     }},
    {"packet_loss_any_number", udp(R"("packet_loss":1)"),
     [](const auto& r) { EXPECT_EQ(r.rtt_udp->packet_loss, 1.0f); }},
    {"packet_loss_huge_is_infinite", udp(R"("packet_loss":1e300)"),
     [](const auto& r) { EXPECT_TRUE(std::isinf(*r.rtt_udp->packet_loss)); }},
    {"packet_loss_negative_kept", udp(R"("packet_loss":-0.5)"),
     [](const auto& r) { EXPECT_EQ(r.rtt_udp->packet_loss, -0.5f); }},
    {"packet_loss_wrong_kind", udp(R"("packet_loss":"0.5","num_lost":2)"),
     [](const auto& r) {
         EXPECT_FALSE(r.rtt_udp->packet_loss);
         EXPECT_EQ(r.rtt_udp->num_lost, 2u);
     }},
    {"raw_data_byte_order", dl(R"("raw_data":{"2":[{"time_ns":1,"b":2}],"10":[{"time_ns":3,"b":4}]})"),
     [](const auto& r) {
         ASSERT_TRUE(r.dl->raw_data);
         ASSERT_EQ(r.dl->raw_data->size(), 2u);
         EXPECT_EQ(r.dl->raw_data->begin()->first, "10");
         EXPECT_EQ(r.dl->raw_data->begin()->second[0].b, 4u);
     }},
    {"raw_data_entry_not_array", dl(R"("raw_data":{"0":[{"time_ns":1,"b":2}],"1":{"time_ns":1}},"bytes":9)"),
     [](const auto& r) {
         EXPECT_FALSE(r.dl->raw_data);
         EXPECT_EQ(r.dl->bytes, 9u);
     }},
    {"raw_data_sample_not_object", dl(R"("raw_data":{"0":[{"time_ns":1,"b":2},7]})"),
     [](const auto& r) { EXPECT_FALSE(r.dl->raw_data); }},
    {"raw_data_not_object", dl(R"("raw_data":[[{"time_ns":1}]])"),
     [](const auto& r) { EXPECT_FALSE(r.dl->raw_data); }},
    {"raw_sample_bad_member", dl(R"("raw_data":{"0":[{"time_ns":-5,"b":2.5}]})"),
     [](const auto& r) {
         const auto& s = r.dl->raw_data->at("0")[0];
         EXPECT_FALSE(s.time_ns);
         EXPECT_FALSE(s.b);
     }},
    {"duplicate_key_last_wins", R"({"dl":{"bytes":1,"bytes":2}})",
     [](const auto& r) { EXPECT_EQ(r.dl->bytes, 2u); }},
    {"comments_and_trailing_commas", "{\"ul\":{\"bps\":3,}, /* note */}",
     [](const auto& r) { EXPECT_EQ(r.ul->bps, 3u); }},
};

INSTANTIATE_TEST_SUITE_P(SprintMeasurementResultReader, Lenient, ::testing::ValuesIn(kLenientCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SprintMeasurementResultReader, RootThatIsNotAnObjectFails) {
    for (const char* text : {"[1,2]", "null", "42", "\"{}\"", "true"}) {
        try {
            SprintMeasurementResultReader(text);
            ADD_FAILURE() << "no failure for " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "not an object") << text;
        }
    }
}

TEST(SprintMeasurementResultReader, TextThatIsNotJsonFailsWithTheParserError) {
    const std::string deep = std::string(40, '[') + std::string(40, ']');
    for (const std::string& text : {std::string(""), std::string("{"), std::string("not json"),
                                    std::string("{\"dl\":{}} {}"), std::string("{\"a\":\"\xff\"}"), deep}) {
        EXPECT_THROW(SprintMeasurementResultReader(text), boost::system::system_error) << text;
    }
}

TEST(SprintMeasurementResultReader, TruncatedResultIsASyntaxErrorNeverAPartialResult) {
    // A result cut short anywhere (a client that died mid-write) is not JSON:
    // the reader refuses it as a syntax error rather than handing on the
    // phases it happened to see. Only the whole text reads.
    const std::string full = kClientResult;
    for (std::size_t n = 0; n < full.size(); ++n) {
        EXPECT_THROW(SprintMeasurementResultReader(std::string_view(full).substr(0, n)), boost::system::system_error)
            << "prefix of " << n << " bytes";
    }
    EXPECT_TRUE(SprintMeasurementResultReader(full).ul);
}

}  // namespace

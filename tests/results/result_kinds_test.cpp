// Golden objects of every task result kind: keys, their order, value kinds.

#include "JsonExpect.h"

#include "model/result/BrowserTaskResults.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "model/result/EmailTaskResult.h"
#include "model/result/ExternalToolTaskResults.h"
#include "model/result/MediaStreamTaskResults.h"
#include "model/result/NativeVelaTaskResult.h"
#include "model/result/RmbtTaskResult.h"
#include "model/result/TaskResultWriter.h"
#include "model/result/TelephonyTaskResults.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;
using results_test::jsonMatches;

namespace {

// Common members as a task fills them, and the head they produce.
void fillCommon(TaskResult& r, const std::string& type) {
    r.objective_id = 12;
    r.qos_test_uid = "12";
    r.objective_concurrency_group = 300;
    r.objective_task_type = type;
    r.test_type = type;
    r.status = "OK";
    r.start_time_ns = 1000;
    r.duration_ns = 2000;
}

std::string head(const std::string& type) {
    return R"({"objective_id":12,"objective_concurrency_group":300,"objective_task_type":")" + type +
           R"(","test_type":")" + type + R"(","qos_test_uid":"12","status":"OK","start_time_ns":1000,"duration_ns":2000)";
}

json::value write(const TaskResult& r) {
    json::value v;
    TaskResultWriter(v, &r);
    return v;
}

// Captures what the writer prints on standard output.
struct StdoutCapture {
    StdoutCapture() { testing::internal::CaptureStdout(); }
    std::string take() { return testing::internal::GetCapturedStdout(); }
};

TEST(ConnectivityResults, TcpOutgoingTestWritesIncomingDefaults) {
    TcpTaskResult r;
    fillCommon(r, "TCP");
    r.tcp_objective_out_port = 10011;
    r.tcp_result_out = "OK";
    r.tcp_result_out_response = "PING";
    EXPECT_TRUE(jsonMatches(write(r), head("TCP") +
        R"(,"tcp_objective_in_port":0,"tcp_objective_out_port":10011,"tcp_result_in":"","tcp_result_out":"OK","tcp_result_in_response":"","tcp_result_out_response":"PING"})"));
}

TEST(ConnectivityResults, UdpKeysInWriterOrderAndRttsInTextOrder) {
    UdpTaskResult r;
    fillCommon(r, "UDP");
    r.udp_result_out_num_packets = 4;
    r.udp_result_out_response_num_packets = 4;
    r.udp_result_out_packet_loss_rate = 20;
    r.udp_result_out_rtt_avg_ns = 1500000;
    r.udp_objective_out_num_packets = 5;
    r.udp_objective_out_port = 10012;
    r.udp_objective_delay = 100000000;
    r.udp_objective_timeout = 3000000000;
    r.udp_result_out_rtts = {{"0", 1000000}, {"1", 2000000}, {"2", 1200000}, {"10", 1800000}};
    EXPECT_TRUE(jsonMatches(write(r), head("UDP") +
        R"(,"udp_result_out_num_packets":4,"udp_result_out_packet_loss_rate":20,"udp_result_out_rtt_avg_ns":1500000,)"
        R"("udp_result_out_rtts":{"0":1000000,"1":2000000,"10":1800000,"2":1200000},)"
        R"("udp_result_out_response_num_packets":4,"udp_objective_out_num_packets":5,"udp_objective_out_port":10012,)"
        R"("udp_objective_delay":100000000,"udp_objective_timeout":3000000000})"));

    r.udp_result_out_rtts.clear();
    const json::value v = write(r);
    EXPECT_TRUE(v.at("udp_result_out_rtts").is_object());
    EXPECT_TRUE(v.at("udp_result_out_rtts").get_object().empty());
    EXPECT_EQ(v.get_object().size(), 8u + 9u);
}

TEST(ConnectivityResults, NonTransparentProxy) {
    NonTransparentProxyTaskResult r;
    fillCommon(r, "NON_TRANSPARENT_PROXY");
    r.error_message = "Timeout waiting for QoS server result";
    r.nontransproxy_objective_port = 10013;
    r.nontransproxy_objective_request = "GET / HTTP/1.0";
    r.nontransproxy_result = "TIMEOUT";
    EXPECT_TRUE(jsonMatches(write(r), head("NON_TRANSPARENT_PROXY") +
        R"(,"error_message":"Timeout waiting for QoS server result","nontransproxy_objective_port":10013,)"
        R"("nontransproxy_objective_request":"GET / HTTP/1.0","nontransproxy_result_response":"","nontransproxy_result":"TIMEOUT"})"));
}

TEST(ConnectivityResults, HttpProxyWritesOnlyPresentTexts) {
    HttpProxyTaskResult r;
    fillCommon(r, "HTTP_PROXY");
    EXPECT_TRUE(jsonMatches(write(r), head("HTTP_PROXY") + "}"));

    r.http_result_hash = "";
    r.http_objective_url = "http://127.0.0.1:8080/file";
    EXPECT_TRUE(jsonMatches(write(r), head("HTTP_PROXY") +
        R"(,"http_objective_url":"http://127.0.0.1:8080/file","http_result_hash":""})"));

    r.http_objective_range = "bytes=0-99";
    r.http_result_hash = "d41d8cd98f00b204e9800998ecf8427e";
    r.http_result_status = "206";
    r.http_result_length = "100";
    r.http_result_header = "Content-Length: 100\n";
    EXPECT_TRUE(jsonMatches(write(r), head("HTTP_PROXY") +
        R"(,"http_objective_range":"bytes=0-99","http_objective_url":"http://127.0.0.1:8080/file",)"
        R"("http_result_hash":"d41d8cd98f00b204e9800998ecf8427e","http_result_status":"206","http_result_length":"100",)"
        R"("http_result_header":"Content-Length: 100\n"})"));
}

TEST(TelephonyResults, SipRatiosAreWidenedFloatsAndObjectivesStrings) {
    SipTaskResult r;
    fillCommon(r, "SIP");
    r.sip_objective_port = "5060";
    r.sip_objective_count = "0";
    r.sip_objective_from = "alice";
    r.sip_objective_to = "bob";
    r.sip_objective_call_duration = "1000000000";
    r.sip_objective_via = "127.0.0.1";
    r.sip_result_dcr = 1.0f;
    r.sip_result = "OK";
    const std::string tail =
        R"(,"sip_objective_port":"5060","sip_objective_count":"0","sip_objective_from":"alice","sip_objective_to":"bob",)"
        R"("sip_objective_call_duration":"1000000000","sip_objective_via":"127.0.0.1",)";
    EXPECT_TRUE(jsonMatches(write(r), head("SIP") + tail +
        R"("sip_result_ccsr":0.0,"sip_result_cssr":0.0,"sip_result_dcr":1.0,"sip_result":"OK"})"));

    r.sip_result_ccsr = 0.1f;
    r.sip_result_cssr = 0.9f;
    r.sip_result_dcr = 0.9f;
    const json::value v = write(r);
    EXPECT_EQ(v.at("sip_result_ccsr").as_double(), 0.10000000149011612);
    EXPECT_EQ(v.at("sip_result_cssr").as_double(), static_cast<double>(0.9f));
    EXPECT_EQ(v.get_object().size(), 8u + 10u);
}

TEST(TelephonyResults, VoipAllKeysSignedFiguresStayNegative) {
    VoipTaskResult r;
    fillCommon(r, "VOIP");
    r.voip_objective_payload = 8;
    r.voip_objective_buffer = 0;
    r.voip_objective_out_port = 5004;
    r.voip_objective_call_duration = 1000000000;
    r.voip_objective_bits_per_sample = 8;
    r.voip_objective_sample_rate = 8000;
    r.voip_objective_delay = 20000000;
    r.voip_result_status = "OK";
    r.voip_result_in_max_jitter = 400000;
    r.voip_result_in_mean_jitter = 150000;
    r.voip_result_in_max_delta = 900000;
    r.voip_result_in_num_packets = 50;
    r.voip_result_in_skew = -120000;
    r.voip_result_out_max_jitter = 300000;
    r.voip_result_out_mean_jitter = 100000;
    r.voip_result_out_max_delta = 800000;
    r.voip_result_out_num_packets = 49;
    r.voip_result_out_skew = 5;
    r.voip_result_in_sequence_error = 1;
    r.voip_result_out_sequence_error = 2;
    r.voip_result_in_short_seq = 20;
    r.voip_result_out_short_seq = 21;
    r.voip_result_in_long_seq = 30;
    r.voip_result_out_long_seq = 28;
    const json::value v = write(r);
    EXPECT_TRUE(jsonMatches(v, head("VOIP") +
        R"(,"voip_objective_payload":8,"voip_objective_buffer":0,"voip_objective_out_port":5004,"voip_objective_call_duration":1000000000,)"
        R"("voip_objective_bits_per_sample":8,"voip_objective_sample_rate":8000,"voip_objective_delay":20000000,"voip_result_status":"OK",)"
        R"("voip_result_in_max_jitter":400000,"voip_result_in_mean_jitter":150000,"voip_result_in_max_delta":900000,)"
        R"("voip_result_in_num_packets":50,"voip_result_in_skew":-120000,"voip_result_out_max_jitter":300000,)"
        R"("voip_result_out_mean_jitter":100000,"voip_result_out_max_delta":800000,"voip_result_out_num_packets":49,)"
        R"("voip_result_out_skew":5,"voip_result_in_sequence_error":1,"voip_result_out_sequence_error":2,)"
        R"("voip_result_in_short_seq":20,"voip_result_out_short_seq":21,"voip_result_in_long_seq":30,"voip_result_out_long_seq":28})"));
    EXPECT_TRUE(v.at("voip_result_in_skew").is_int64());

    VoipTaskResult failed;
    fillCommon(failed, "VOIP");
    failed.status = "ERROR";
    const json::value f = write(failed);
    EXPECT_EQ(f.get_object().size(), 8u + 24u);
    EXPECT_EQ(f.at("voip_result_out_long_seq"), 0);
}

TEST(DnsTracerouteResults, DnsFailedQueryWritesRequiredKeysOnly) {
    DnsTaskResult r;
    fillCommon(r, "DNS");
    r.dns_objective_host = "example.test";
    EXPECT_TRUE(jsonMatches(write(r), head("DNS") +
        R"(,"dns_objective_host":"example.test","dns_result_entries_found":0,"dns_result_entries":[]})"));
}

TEST(DnsTracerouteResults, DnsWithAddresses) {
    DnsTaskResult r;
    fillCommon(r, "DNS");
    r.dns_objective_host = "example.test";
    r.dns_objective_dns_record = "A";
    r.dns_objective_resolver = "127.0.0.53";
    r.dns_result_info = "OK";
    r.dns_result_status = "NOERROR";
    r.dns_result_entries_found = 3;  // written as held, not recounted
    r.dns_result_duration = 2500000;
    r.dns_result_entries = {{"192.0.2.1", 300}, {"2001:db8::1", 60}};
    const json::value v = write(r);
    EXPECT_TRUE(jsonMatches(v, head("DNS") +
        R"(,"dns_objective_host":"example.test","dns_objective_dns_record":"A","dns_objective_resolver":"127.0.0.53",)"
        R"("dns_result_info":"OK","dns_result_status":"NOERROR","dns_result_entries_found":3,"dns_result_duration":2500000,)"
        R"("dns_result_entries":[{"dns_result_address":"192.0.2.1","dns_result_ttl":300},{"dns_result_address":"2001:db8::1","dns_result_ttl":60}]})"));
    EXPECT_EQ(v.get_object().size(), 8u + 8u);
}

TEST(DnsTracerouteResults, TracerouteMinimalAndFull) {
    TracerouteTaskResult r;
    fillCommon(r, "TRACEROUTE");
    r.traceroute_result_status = "OK";
    EXPECT_TRUE(jsonMatches(write(r), head("TRACEROUTE") +
        R"(,"traceroute_result_status":"OK","traceroute_result_details":[]})"));

    r.traceroute_objective_host = "example.test";
    r.traceroute_objective_max_hops = 30;
    r.traceroute_result_duration = 900000000;
    r.traceroute_result_hops = 2;
    r.traceroute_result_details = {{"192.0.2.254", 1000000, true}, {"192.0.2.1", 2000000, false}};
    const json::value v = write(r);
    EXPECT_TRUE(jsonMatches(v, head("TRACEROUTE") +
        R"(,"traceroute_result_status":"OK","traceroute_result_duration":900000000,"traceroute_result_hops":2,)"
        R"("traceroute_result_details":[{"time":1000000,"host":"192.0.2.254"},{"time":2000000,"host":"192.0.2.1"}],)"
        R"("traceroute_objective_max_hops":30,"traceroute_objective_host":"example.test"})"));
    EXPECT_EQ(v.get_object().size(), 8u + 6u);
}

TEST(NativeVelaResult, AllAbsentIsEmptyObjectWithoutCommonKeys) {
    NativeVelaTaskResult r;
    fillCommon(r, "VELA");
    EXPECT_TRUE(jsonMatches(write(r), "{}"));
}

TEST(NativeVelaResult, PresentMembersInOrder) {
    NativeVelaTaskResult r;
    fillCommon(r, "SPRINT");
    r.relative_start_time_ns = 0;
    r.relative_end_time_ns = 31000000000;
    r.bytes_download = 1000;
    r.duration_upload_ns = 10000000000;
    r.rtt_info = NativeVelaRttInfo{};  // present, all absent
    r.rtt_tcp_info = NativeVelaRttInfo{};
    r.rtt_tcp_info->address = "192.0.2.10";
    r.rtt_tcp_info->rtts = std::vector<NativeVelaRttSample>{{5, 1}, {std::nullopt, 2}};
    r.rtt_tcp_info->num_sent = 10;
    r.rtt_tcp_info->average_ns = 100;
    r.rtt_tcp_info->maximum_ns = 200;
    r.rtt_tcp_info->median_ns = 90;
    r.rtt_tcp_info->minimum_ns = 50;
    r.upload_raw_data = NativeVelaRawDataItem{3, 250000000, 4096, std::nullopt};
    r.connection_info = NativeVelaConnectionInfo{};
    EXPECT_TRUE(jsonMatches(write(r),
        R"({"relative_start_time_ns":0,"relative_end_time_ns":31000000000,"bytes_download":1000,"duration_upload_ns":10000000000,)"
        R"("rtt_info":{},"rtt_tcp_info":{"address":"192.0.2.10","rtts":[{"rtt_ns":5,"relative_time_ns":1},{"relative_time_ns":2}],)"
        R"("num_sent":10,"average_ns":100,"maximum_ns":200,"median_ns":90,"minimum_ns":50},)"
        R"("upload_raw_data":{"stream_id":3,"relative_time_ns":250000000,"bytes":4096},"connection_info":{}})"));

    r.rtt_tcp_info->rtts->clear();
    r.connection_info->agent_interface_total_traffic = NativeVelaInterfaceTraffic{};
    const json::value v = write(r);
    EXPECT_TRUE(jsonMatches(v.at("connection_info"), R"({"agent_interface_total_traffic":{}})"));
    EXPECT_TRUE(jsonMatches(v.at("rtt_tcp_info").at("rtts"), "[]"));
}

TEST(EmailResult, WithoutHeaderWritesNullAndEveryKey) {
    EmailTaskResult r;
    fillCommon(r, "EMAIL");
    r.email_objective_smtp_port = 65535;
    r.email_objective_imap_max_search_attempts = -1;
    r.email_objective_delete_message_afterwards = true;
    const json::value v = write(r);
    const char* keys[] = {
        "email_objective_smtp_host", "email_objective_smtp_port", "email_objective_smtp_username",
        "email_objective_imap_host", "email_objective_imap_port", "email_objective_imap_username",
        "email_objective_imap_mailbox_name", "email_objective_from_email", "email_objective_from_name",
        "email_objective_to_email", "email_objective_to_name", "email_objective_smtp_connect_timeout_ns",
        "email_objective_imap_connect_timeout_ns", "email_objective_imap_search_delay_ns",
        "email_objective_imap_max_search_attempts", "email_objective_delete_message_afterwards",
        "email_objective_fail_if_message_cannot_be_fetched", "email_result_smtp_connection_start_ns",
        "email_result_smtp_connection_duration_ns", "email_result_smtp_authentication_start_ns",
        "email_result_smtp_authentication_duration_ns", "email_result_smtp_send_mail_start_ns",
        "email_result_smtp_send_mail_duration_ns", "email_result_imap_connection_start_ns",
        "email_result_imap_connection_duration_ns", "email_result_imap_authentication_start_ns",
        "email_result_imap_authentication_duration_ns", "email_result_imap_select_start_ns",
        "email_result_imap_select_duration_ns", "email_result_imap_fetch_start_ns",
        "email_result_imap_fetch_duration_ns", "email_result_imap_remove_start_ns",
        "email_result_imap_remove_duration_ns", "email_result_message_sent_to_available_duration_ns",
        "email_result_message_sent_date_time", "email_result_message_available_date_time",
        "email_result_message_header_date_time", "email_result_header_info", "email_result_task_error",
        "email_result_imap_search_attempts", "email_result_imap_message_delete_successful"};
    const auto& obj = v.get_object();
    ASSERT_EQ(obj.size(), 8u + 41u);
    for (std::size_t i = 0; i < 41; ++i) EXPECT_EQ((obj.begin() + 8 + i)->key(), keys[i]) << i;
    EXPECT_TRUE(obj.at("email_result_header_info").is_null());
    EXPECT_EQ(obj.at("email_objective_smtp_port"), 65535);
    EXPECT_TRUE(obj.at("email_objective_imap_max_search_attempts").is_int64());
    EXPECT_EQ(obj.at("email_objective_imap_max_search_attempts"), -1);
    EXPECT_EQ(obj.at("email_objective_delete_message_afterwards"), true);
    EXPECT_EQ(obj.at("email_result_task_error"), "");
}

TEST(EmailResult, HeaderWithEmptyRelayEntry) {
    EmailTaskResult r;
    fillCommon(r, "EMAIL");
    r.email_result_header_info = std::make_unique<EmailHeaderInfo>();
    EXPECT_TRUE(jsonMatches(write(r).at("email_result_header_info"),
        R"({"relays":[],"header_count":0,"rpd_score":0,"has_dkim_signature":false,"authentication_results":""})"));

    auto& header = *r.email_result_header_info;
    auto relay = std::make_unique<EmailRelay>();
    relay->recv_from = "mx.example.test";
    relay->recv_by = "mail.example.test";
    relay->recv_with = {"ESMTPS", "LMTP"};
    relay->recv_id = "abc";
    relay->recv_date_time = "Mon, 1 Jan 2024 10:00:00 +0000";
    header.relays.push_back(std::move(relay));
    header.relays.push_back(nullptr);
    header.relays.push_back(std::make_unique<EmailRelay>());
    header.header_count = 17;
    header.rpd_score = -3;
    header.has_dkim_signature = true;
    header.authentication_results = "dkim=pass";
    EXPECT_TRUE(jsonMatches(write(r).at("email_result_header_info"),
        R"({"relays":[{"recv_from":"mx.example.test","recv_by":"mail.example.test","recv_via":"","recv_with":["ESMTPS","LMTP"],)"
        R"("recv_id":"abc","recv_for":"","recv_date_time":"Mon, 1 Jan 2024 10:00:00 +0000"},null,)"
        R"({"recv_from":"","recv_by":"","recv_via":"","recv_with":[],"recv_id":"","recv_for":"","recv_date_time":""}],)"
        R"("header_count":17,"rpd_score":-3,"has_dkim_signature":true,"authentication_results":"dkim=pass"})"));
}

TEST(RmbtResult, OptionalTextsAbsentLeaveTwentyKeys) {
    RmbtTaskResult r;
    fillCommon(r, "RMBT");
    r.res_time_start_s = 1700000000;
    r.res_time_end_s = 1700000030;
    r.res_server_port = 443;
    r.res_encrypt = true;
    r.res_chunksize = 4096;
    r.res_total_bytes_dl = 123456789;
    r.res_rtt_tcp_payload_client_ns = -1;
    r.test_ping_shortest = 8000000;
    EXPECT_TRUE(jsonMatches(write(r), head("RMBT") +
        R"(,"res_time_start_s":1700000000,"res_time_end_s":1700000030,"res_server_port":443,"res_encrypt":true,)"
        R"("res_chunksize":4096,"res_total_bytes_dl":123456789,"res_total_bytes_ul":0,"res_rtt_tcp_payload_num":0,)"
        R"("res_rtt_tcp_payload_client_ns":-1,"res_rtt_tcp_payload_server_ns":0,"res_dl_num_flows":0,"res_dl_time_ns":0,)"
        R"("res_dl_bytes":0,"res_dl_throughput_kbps":0.0,"res_ul_num_flows":0,"res_ul_time_ns":0,"res_ul_bytes":0,)"
        R"("res_ul_throughput_kbps":0.0,"rtt_tcp_payload":{"values":[]},"test_ping_shortest":8000000})"));
}

TEST(RmbtResult, AllTextsPresentAndSamples) {
    RmbtTaskResult r;
    fillCommon(r, "RMBT");
    r.res_id_test = "t1";
    r.res_status = "";
    r.res_status_msg = "m";
    r.res_version_client = "1.0";
    r.res_server_ip = "192.0.2.5";
    r.res_cipher = "TLS_AES_128_GCM_SHA256";
    r.res_tcp_congestion = "cubic";
    r.res_uname_sysname = "Linux";
    r.res_uname_nodename = "host";
    r.res_uname_release = "6.1";
    r.res_uname_version = "#1";
    r.res_uname_machine = "x86_64";
    r.res_dl_throughput_kbps = 95432.25;
    r.rtt_tcp_payload.values = {{1, 2, 30, 20}};
    r.uuid = "u";
    r.opentest_uuid = "o";
    r.test_token = "tok";
    const json::value v = write(r);
    const auto& obj = v.get_object();
    EXPECT_EQ(obj.size(), 8u + 35u);
    EXPECT_EQ(obj.at("res_status"), "");
    EXPECT_EQ(obj.at("res_dl_throughput_kbps").as_double(), 95432.25);
    EXPECT_TRUE(jsonMatches(obj.at("rtt_tcp_payload"),
        R"({"values":[{"rtt_client_ns":1,"rtt_server_ns":2,"time_end_rel_ns":30,"time_start_rel_ns":20}]})"));
    EXPECT_EQ((obj.begin() + 8)->key(), "res_id_test");
    EXPECT_EQ((obj.end() - 1)->key(), "test_token");
}

TEST(BrowserResults, SeleniumWithoutResources) {
    SeleniumBrowserTaskResult r;
    fillCommon(r, "SELENIUM_BROWSER");
    r.objective_url = "https://example.test/";
    auto& nav = r.selenium_browser_result.navigation_entry;
    nav.duration = 0.0;
    nav.redirectCount = 0;
    nav.transferSize = 1234;
    nav.entryType = "navigation";
    nav.responseEnd = 120.5;
    r.selenium_browser_result.first_paint_start_time_ms = 80.25;
    r.selenium_browser_result.resources_total_transfer_size = -1;
    EXPECT_TRUE(jsonMatches(write(r), head("SELENIUM_BROWSER") +
        R"(,"objective_url":"https://example.test/","selenium_browser_result":{"navigation_entry":{)"
        R"("connectEnd":0.0,"connectStart":0.0,"decodedBodySize":0,"domComplete":0.0,"domContentLoadedEventEnd":0.0,)"
        R"("domContentLoadedEventStart":0.0,"domInteractive":0.0,"domainLookupEnd":0.0,"domainLookupStart":0.0,"duration":0.0,)"
        R"("encodedBodySize":0,"entryType":"navigation","fetchStart":0.0,"initiatorType":"","loadEventEnd":0.0,"loadEventStart":0.0,)"
        R"("name":"","nextHopProtocol":"","redirectCount":0,"redirectEnd":0.0,"redirectStart":0.0,"requestStart":0.0,)"
        R"("responseEnd":120.5,"responseStart":0.0,"secureConnectionStart":0.0,"startTime":0.0,"transferSize":1234,"type":"",)"
        R"("unloadEventEnd":0.0,"unloadEventStart":0.0,"workerStart":0.0},"resources":[],"first_paint_start_time_ms":80.25,)"
        R"("first_contentful_paint_start_time_ms":0.0,"resources_total_duration_ms":0.0,"resources_total_transfer_size":-1}})"));

    r.selenium_browser_result.resources = {{"https://example.test/a.js", 12.5, 40.0, 512, "script"}};
    EXPECT_TRUE(jsonMatches(write(r).at("selenium_browser_result").at("resources"),
        R"([{"url":"https://example.test/a.js","duration_ms":12.5,"start_time_ms":40.0,"transfer_size":512,"initiator_type":"script"}])"));
}

TEST(BrowserResults, BrowsertimeEmbeddedReport) {
    BrowsertimeTaskResult r;
    fillCommon(r, "BROWSERTIME");
    r.objective_url = "https://example.test/";
    StdoutCapture none;
    EXPECT_TRUE(jsonMatches(write(r), head("BROWSERTIME") + R"(,"objective_url":"https://example.test/","browsertime_result":null})"));
    EXPECT_EQ(none.take(), "");

    r.browsertime_result = std::make_unique<std::string>("{}");
    EXPECT_TRUE(jsonMatches(write(r).at("browsertime_result"), "{}"));

    r.browsertime_result = std::make_unique<std::string>("{\"a\":");
    StdoutCapture bad;
    EXPECT_TRUE(write(r).at("browsertime_result").is_null());
    EXPECT_EQ(bad.take().rfind("Error during JSON parse: ", 0), 0u);
}

TEST(MediaStreamResults, VoipPjsipEmptyOwnedMembersAreNull) {
    VoipPjsipTaskResult r;
    fillCommon(r, "VOIP_PJSIP");
    r.voip_pjsip_objective_call_to_uri = "sip:echo@example.test";
    r.voip_pjsip_objective_server_register_timeout_ns = 5000000000;
    r.voip_pjsip_objective_call_duration_ns = 10000000000;
    r.voip_pjsip_result.average_noise_level = -60;
    r.voip_pjsip_result.call_setup_msec = 250;
    r.voip_pjsip_result.outgoing_estimated_mos = 4.25;
    r.voip_pjsip_result.call_successful = true;
    EXPECT_TRUE(jsonMatches(write(r), head("VOIP_PJSIP") +
        R"(,"voip_pjsip_objective_call_to_uri":"sip:echo@example.test","voip_pjsip_objective_public_address":"",)"
        R"("voip_pjsip_objective_credentials_server":"","voip_pjsip_objective_credentials_id":"",)"
        R"("voip_pjsip_objective_credentials_username":"","voip_pjsip_objective_credentials_realm":"",)"
        R"("voip_pjsip_objective_server_register_timeout_ns":5000000000,"voip_pjsip_objective_call_duration_ns":10000000000,)"
        R"("voip_pjsip_result":{"jitter":null,"raw_jitter":null,"ipdv":null,"rtt":null,"transmitted_packets":null,)"
        R"("received_packets":null,"average_noise_level":-60,"average_signal_level":0,"median_noise_level":0,)"
        R"("median_signal_level":0,"round_trip_delay":0,"end_system_delay":0,"call_setup_msec":250,)"
        R"("outgoing_estimated_mos":4.25,"incoming_estimated_mos":0.0,"register_successful":false,"call_successful":true}})"));
}

TEST(MediaStreamResults, VoipPjsipNestedRecords) {
    VoipPjsipTaskResult r;
    fillCommon(r, "VOIP_PJSIP");
    r.voip_pjsip_result.jitter = std::make_unique<VoipPjsipDelayStatistics>(VoipPjsipDelayStatistics{1.5, 2.5, 3.5});
    r.voip_pjsip_result.received_packets = std::make_unique<VoipPjsipPacketCounts>(VoipPjsipPacketCounts{100, 3, 1, 0, 2});
    const json::value v = write(r).at("voip_pjsip_result");
    EXPECT_TRUE(jsonMatches(v.at("jitter"), R"({"min":1.5,"avg":2.5,"max":3.5})"));
    EXPECT_TRUE(jsonMatches(v.at("received_packets"), R"({"lost":3,"discard":1,"duplicate":0,"reorder":2,"total":100})"));
    EXPECT_TRUE(v.at("raw_jitter").is_null());
}

TEST(MediaStreamResults, MulticastRtpAllKeys) {
    MulticastRtpTaskResult r;
    fillCommon(r, "MULTICAST_RTP");
    r.multicast_rtp_objective_port = 5004;
    r.multicast_rtp_objective_multicast_address = "239.0.0.1";
    r.multicast_rtp_objective_stream_duration_ns = 5000000000;
    r.multicast_rtp_objective_buffer_ns = 200000000;
    r.multicast_rtp_result_skew = -7;
    EXPECT_TRUE(jsonMatches(write(r), head("MULTICAST_RTP") +
        R"(,"multicast_rtp_objective_port":5004,"multicast_rtp_objective_multicast_address":"239.0.0.1",)"
        R"("multicast_rtp_objective_stream_duration_ns":5000000000,"multicast_rtp_objective_buffer_ns":200000000,)"
        R"("multicast_rtp_result_num_packets":0,"multicast_rtp_result_sequence_error":0,"multicast_rtp_result_mean_jitter":0,)"
        R"("multicast_rtp_result_max_jitter":0,"multicast_rtp_result_skew":-7,"multicast_rtp_result_max_delta":0,)"
        R"("multicast_rtp_result_short_seq":0,"multicast_rtp_result_long_seq":0,"multicast_rtp_result_stalls":0,)"
        R"("multicast_rtp_result_avg_stall_time":0,"multicast_rtp_result_sample_rate":0})"));
}

TEST(ExternalToolResults, MeasurementKit) {
    BaseMeasurementKitResult r;
    fillCommon(r, "MKIT_DASH");
    EXPECT_TRUE(jsonMatches(write(r), head("MKIT_DASH") + R"(,"mkit_result":null})"));

    r.mkit_result = std::make_unique<std::string>(R"({"test_keys":{"simple":{"median_bitrate":12000.5}}})");
    r.mkit_status = "";
    EXPECT_TRUE(jsonMatches(write(r), head("MKIT_DASH") +
        R"(,"mkit_result":{"test_keys":{"simple":{"median_bitrate":12000.5}}},"mkit_status":""})"));
}

TEST(ExternalToolResults, CommandLine) {
    CommandLineTaskResult r;
    fillCommon(r, "CMDLINE");
    r.exit_code = -1;
    EXPECT_TRUE(jsonMatches(write(r), head("CMDLINE") + R"(,"result_string":"","error_string":"","exit_code":-1})"));
}

TEST(ExternalToolResults, OoklaEmbedded) {
    OoklaSpeedtestEmbeddedTaskResult r;
    fillCommon(r, "OOKLA_SPEEDTEST_EMBEDDED");
    r.ookla_speedtest_embedded_result = std::make_unique<std::string>(R"([{"download":1},2])");
    EXPECT_TRUE(jsonMatches(write(r), head("OOKLA_SPEEDTEST_EMBEDDED") +
        R"(,"ookla_speedtest_embedded_result":[{"download":1},2]})"));

    r.ookla_speedtest_embedded_result = std::make_unique<std::string>(R"({"download":1,})");
    StdoutCapture out;
    EXPECT_TRUE(write(r).at("ookla_speedtest_embedded_result").is_null());
    const std::string text = out.take();
    EXPECT_EQ(text.rfind("Error during JSON parse: ", 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

}  // namespace

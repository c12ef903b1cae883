// Dispatch of TaskResultWriter: type text rules, class checks, the program
// result special case and the common keys.

#include "JsonExpect.h"

#include "model/result/BrowserTaskResults.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "model/result/EmailTaskResult.h"
#include "model/result/ExternalToolTaskResults.h"
#include "model/result/MediaStreamTaskResults.h"
#include "model/result/NativeVelaTaskResult.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/RmbtTaskResult.h"
#include "model/result/TaskResultWriter.h"
#include "model/result/TelephonyTaskResults.h"
#include "model/result/VelaTaskResult.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;
using results_test::jsonMatches;

namespace {

template <typename R>
std::function<std::unique_ptr<TaskResult>()> make() {
    return [] { return std::make_unique<R>(); };
}

json::value write(const TaskResult* result) {
    json::value v;  // null, as the report writers create it
    TaskResultWriter(v, result);
    return v;
}

std::string kindKey(const json::value& v) {
    // The first key after the common ones tells the writer that ran.
    if (!v.is_object()) return json::serialize(v);
    const auto& o = v.get_object();
    if (o.empty()) return "{}";
    if (o.size() <= 8) return "(common keys only)";
    return std::string((o.begin() + 8)->key());
}

struct DispatchCase {
    const char* name;
    const char* typeText;
    std::function<std::unique_ptr<TaskResult>()> factory;
    std::string expected;  // the first own key of the kind, "{}" or "null"
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, PicksKindByTypeTextAndClass) {
    const DispatchCase& c = GetParam();
    auto record = c.factory();
    record->objective_task_type = c.typeText;
    testing::internal::CaptureStderr();
    const json::value v = write(record.get());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(kindKey(v), c.expected) << json::serialize(v);
}

const DispatchCase kDispatchCases[] = {
    // every kind, type text in another case than the table's
    {"tcp", "tcp", make<TcpTaskResult>(), "tcp_objective_in_port"},
    {"udp", "Udp", make<UdpTaskResult>(), "udp_result_out_num_packets"},
    {"sip", "sip", make<SipTaskResult>(), "sip_objective_port"},
    {"ntp", "non_transparent_proxy", make<NonTransparentProxyTaskResult>(), "nontransproxy_objective_port"},
    {"voip", "VoIP", make<VoipTaskResult>(), "voip_objective_payload"},
    {"dns", "dns", make<DnsTaskResult>(), "dns_objective_host"},
    {"traceroute", "TraceRoute", make<TracerouteTaskResult>(), "traceroute_result_status"},
    {"http_proxy", "http_proxy", make<HttpProxyTaskResult>(), "(common keys only)"},
    {"vela", "vela", make<NativeVelaTaskResult>(), "{}"},
    {"sprint", "Sprint", make<NativeVelaTaskResult>(), "{}"},
    {"mkit", "MKIT_WEB_CONNECTIVITY", make<BaseMeasurementKitResult>(), "mkit_result"},
    {"mkit_alone", "MKIT_", make<BaseMeasurementKitResult>(), "mkit_result"},
    {"browsertime", "browsertime", make<BrowsertimeTaskResult>(), "objective_url"},
    {"cmdline", "CmdLine", make<CommandLineTaskResult>(), "result_string"},
    {"email", "email", make<EmailTaskResult>(), "email_objective_smtp_host"},
    {"multicast", "multicast_rtp", make<MulticastRtpTaskResult>(), "multicast_rtp_objective_port"},
    {"ookla_embedded", "ookla_speedtest_embedded", make<OoklaSpeedtestEmbeddedTaskResult>(), "ookla_speedtest_embedded_result"},
    {"ookla_cli", "Ookla_Speedtest_Cli", make<OoklaSpeedtestCliTaskResult>(), "ookla_speedtest_cli_result"},
    {"program", "program", make<ProgramTaskResult>(), "task_name"},
    {"rmbt", "rmbt", make<RmbtTaskResult>(), "res_time_start_s"},
    {"selenium", "selenium_browser", make<SeleniumBrowserTaskResult>(), "objective_url"},
    {"voip_pjsip", "voip_pjsip", make<VoipPjsipTaskResult>(), "voip_pjsip_objective_call_to_uri"},
    // type text and class disagree: null, and no later row is tried
    {"udp_as_tcp", "TCP", make<UdpTaskResult>(), "null"},
    {"pjsip_as_voip", "VOIP", make<VoipPjsipTaskResult>(), "null"},
    {"vela_task_result", "VELA", make<VelaTaskResult>(), "null"},
    {"base_record", "TCP", make<TaskResult>(), "null"},
    // texts that match no row
    {"empty", "", make<UdpTaskResult>(), "null"},
    {"unknown", "NATIVE_VELA", make<NativeVelaTaskResult>(), "null"},
    {"trailing_blank", "TCP ", make<TcpTaskResult>(), "null"},
    {"prefix_of_kind", "TC", make<TcpTaskResult>(), "null"},
    {"mkit_lower", "mkit_web", make<BaseMeasurementKitResult>(), "null"},
    {"mkit_mixed", "Mkit_web", make<BaseMeasurementKitResult>(), "null"},
    {"mkit_short", "MKIT", make<BaseMeasurementKitResult>(), "null"},
    // a program result is written as such whatever its type text
    {"program_as_tcp", "TCP", make<ProgramTaskResult>(), "task_name"},
    {"program_unknown", "whatever", make<ProgramTaskResult>(), "task_name"},
};

INSTANTIATE_TEST_SUITE_P(TaskResultWriter, Dispatch, ::testing::ValuesIn(kDispatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JsonExpect, DetectsOrderKindAndValueDifferences) {
    // The golden comparisons below are only as good as this helper.
    const json::value v = json::parse(R"({"a":1,"b":[1.5,"x"],"c":-2})");
    EXPECT_TRUE(jsonMatches(v, R"({"a":1,"b":[1.5,"x"],"c":-2})"));
    EXPECT_FALSE(jsonMatches(v, R"({"b":[1.5,"x"],"a":1,"c":-2})"));
    EXPECT_FALSE(jsonMatches(v, R"({"a":1.0,"b":[1.5,"x"],"c":-2})"));
    EXPECT_FALSE(jsonMatches(v, R"({"a":1,"b":[1.5,"x"],"c":2})"));
    EXPECT_FALSE(jsonMatches(v, R"({"a":1,"b":[1.5,"x"]})"));
    EXPECT_FALSE(jsonMatches(v, R"({"a":1,"b":[1.5,"x"],"c":-2,"d":null})"));
    EXPECT_FALSE(jsonMatches(v, R"({"a":1,"b":[1.25,"x"],"c":-2})"));
}

TEST(TaskResultWriter, NullPointerStaysNull) {
    EXPECT_TRUE(write(nullptr).is_null());
}

TEST(TaskResultWriter, ProgramResultAnnouncesItselfOnceOnStandardError) {
    for (const char* typeText : {"TCP", "PROGRAM"}) {
        ProgramTaskResult r;
        r.objective_task_type = typeText;
        r.test_type = typeText;
        r.task_name = "systeminfo";
        r.result = "done";
        r.output = "Linux";
        testing::internal::CaptureStderr();
        const json::value v = write(&r);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "we have a program task here: systeminfo\n") << typeText;
        const std::string expected = std::string(R"({"objective_id":0,"objective_concurrency_group":0,"objective_task_type":")") +
            typeText + R"(","test_type":")" + typeText +
            R"(","qos_test_uid":"","status":"","start_time_ns":0,"duration_ns":0,"task_name":"systeminfo","result":"done","output":"Linux"})";
        EXPECT_TRUE(jsonMatches(v, expected)) << typeText;
    }
}

TEST(TaskResultWriter, CommonKeysInTheirOrderWithAndWithoutErrorMessage) {
    TcpTaskResult r;
    r.objective_id = 4711;
    r.qos_test_uid = "4711";
    r.objective_concurrency_group = 200;
    r.objective_task_type = "TCP";
    r.test_type = "TCP";
    r.timeout_ns = 5000000000;  // never written
    r.status = "OK";
    r.start_time_ns = 123456789;
    r.duration_ns = 18446744073709551615ull;
    const char* head =
        R"({"objective_id":4711,"objective_concurrency_group":200,"objective_task_type":"TCP","test_type":"TCP","qos_test_uid":"4711","status":"OK","start_time_ns":123456789,"duration_ns":18446744073709551615)";
    const char* tail =
        R"("tcp_objective_in_port":0,"tcp_objective_out_port":0,"tcp_result_in":"","tcp_result_out":"","tcp_result_in_response":"","tcp_result_out_response":""})";
    EXPECT_TRUE(jsonMatches(write(&r), std::string(head) + "," + tail));

    r.error_message = "";
    EXPECT_TRUE(jsonMatches(write(&r), std::string(head) + R"(,"error_message":"",)" + tail));

    r.error_message = "Timeout waiting for QoS server result";
    EXPECT_TRUE(jsonMatches(write(&r), std::string(head) + R"(,"error_message":"Timeout waiting for QoS server result",)" + tail));
}

TEST(TaskResultWriter, KeepsTheCallersMemoryResource) {
    json::monotonic_resource mr;
    json::storage_ptr sp(&mr);
    UdpTaskResult r;
    r.objective_task_type = "UDP";
    r.udp_result_out_rtts["0"] = 1;
    json::value v(sp);
    TaskResultWriter(v, &r);
    ASSERT_TRUE(v.is_object());
    EXPECT_EQ(v.storage().get(), sp.get());
    EXPECT_EQ(v.get_object().at("udp_result_out_rtts").storage().get(), sp.get());
}

TEST(TaskResultWriter, ValueFromUsesTheWriter) {
    DnsTaskResult r;
    r.objective_task_type = "DNS";
    const TaskResult* p = &r;
    const json::value v = json::value_from(p);
    ASSERT_TRUE(v.is_object());
    EXPECT_EQ(v.get_object().at("objective_task_type"), "DNS");
    const TaskResult* none = nullptr;
    EXPECT_TRUE(json::value_from(none).is_null());
}

TEST(TaskResultWriter, OoklaCliDocumentEmbeddedOrNull) {
    OoklaSpeedtestCliTaskResult r;
    r.objective_task_type = "OOKLA_SPEEDTEST_CLI";
    auto embedded = [&] { return write(&r).get_object().at("ookla_speedtest_cli_result"); };

    testing::internal::CaptureStdout();
    EXPECT_TRUE(embedded().is_null());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    r.ookla_speedtest_cli_result = std::make_unique<std::string>("[1, 2.5]");
    EXPECT_TRUE(jsonMatches(embedded(), "[1,2.5]"));

    for (const char* bad : {"not json", "[1,2,]", "{\"a\":1} trailing", "", "// c\n{}"}) {
        r.ookla_speedtest_cli_result = std::make_unique<std::string>(bad);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(embedded().is_null()) << bad;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("Error during JSON parse: ", 0), 0u) << bad;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << bad;
    }

    // Nesting beyond 32 levels is refused.
    r.ookla_speedtest_cli_result = std::make_unique<std::string>(std::string(33, '[') + std::string(33, ']'));
    testing::internal::CaptureStdout();
    EXPECT_TRUE(embedded().is_null());
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Error during JSON parse: "), std::string::npos);
    r.ookla_speedtest_cli_result = std::make_unique<std::string>(std::string(32, '[') + std::string(32, ']'));
    EXPECT_TRUE(embedded().is_array());
}

}  // namespace

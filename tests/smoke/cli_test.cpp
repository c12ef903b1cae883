// The command-line front end's pieces: the start parameters it sends (read
// and planned by the agent's own code against the loopback back end's
// document), the live line it draws from the agent's events, and the
// summary it prints from the report the collector received.

#include "BatteryDocument.h"
#include "Progress.h"
#include "StartParameters.h"
#include "Summary.h"

#include "model/JsonMorpher.h"
#include "model/LmapControlDto.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/MeasurementCallbacks.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <set>

namespace json = boost::json;
using namespace lumivex::cli;
namespace lm = trevask::measurement_library;

namespace {

// The loopback back end's document with every QoS kind, DNS included.
std::string batteryDocument() {
    lumivex::test::BatteryOptions battery;
    battery.collectorUrl = "http://127.0.0.1:9/collector/result";
    battery.speed = lumivex::test::speedServerFromPortLine(R"({"tcp_port":7001,"udp_port":7002})");
    battery.qos = lumivex::test::qosServerFromPortLine(
        R"({"control_port":7003,"tls":false,"tcp_ports":[7004,7005,7006],"udp_ports":[7007,7008]})");
    battery.dns = {{"measurement.lumivex.test", "A"}, {"measurement.lumivex.test", "AAAA"}};
    battery.httpObjectUrl = "http://127.0.0.1:9/measurement-object";
    return lumivex::test::batteryControlDocument(battery);
}

// The kinds (and how many of each) the agent plans for `startJson` against
// the battery document, with the agent's own reader and planner.
std::multiset<std::string> planned(const std::string& startJson) {
    auto announced = trevask::vela::intermediateMeasurementCallback.get();
    trevask::vela::intermediateMeasurementCallback = [](const trevask::vela::IntermediateMeasurementCallback&) {};

    std::string text = batteryDocument();
    lm::LmapControlDto keys;
    lm::JsonMorpher::morph(keys.getKeyMap(), text);
    auto document = lm::LmapControlDtoParser(text);

    auto parameters = std::make_shared<lm::StartMeasurementParameters>();
    lm::readStartMeasurementParameters(json::parse(startJson).as_object(), *parameters);
    lm::MeasurementExecutorSettings settings;
    settings.logLevel = 3;
    settings.startParameters = parameters;
    auto& executor = lm::MeasurementExecutorService::getInstance();
    executor.configure(&settings);
    std::multiset<std::string> kinds;
    for (auto* configuration : executor.parseIntoTaskConfiguration(document.get())) {
        kinds.insert(configuration->qostest);
    }
    executor.configure(nullptr);
    trevask::vela::intermediateMeasurementCallback = announced;
    return kinds;
}

TEST(StartParameters, MeasureRunsTheWholeBatteryWhereQosAloneRunsNoQosTest) {
    const std::multiset<std::string> battery{"VELA", "TCP", "UDP", "NON_TRANSPARENT_PROXY", "SIP", "VOIP",
                                             "TRACEROUTE", "HTTP_PROXY", "DNS", "DNS"};
    MeasureRequest everything;
    everything.controllerUrl = "http://127.0.0.1:9";
    everything.agentUuid = "u-1";
    MeasureRequest noQos = everything;
    noQos.qos = false;
    MeasureRequest noSpeed = everything;
    noSpeed.speed = false;
    MeasureRequest some = everything;
    some.qosTypes = {"TCP", "DNS"};

    struct Case {
        const char* name;
        std::string startJson;
        std::multiset<std::string> expected;
    };
    std::multiset<std::string> qosOnly = battery;
    qosOnly.erase("VELA");
    const std::vector<Case> cases{
        {"measure", startParametersJson(everything), battery},
        {"--no-qos", startParametersJson(noQos), {"VELA"}},
        {"--no-speed", startParametersJson(noSpeed), qosOnly},
        {"--qos-types TCP,DNS", startParametersJson(some), {"VELA", "TCP", "DNS", "DNS"}},
        // Why measure names every type: the agent plans only the QoS types
        // the map names with true.
        {"performQos alone", R"({"controllerUrl":"http://127.0.0.1:9","performQos":true})", {"VELA"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(planned(c.startJson), c.expected) << c.name << ": " << c.startJson;
    }

    const json::object o = json::parse(startParametersJson(everything)).as_object();
    EXPECT_EQ(o.at("controllerUrl"), "http://127.0.0.1:9");
    EXPECT_EQ(o.at("agentUuid"), "u-1");
    EXPECT_EQ(o.at("performSpeed"), true);
    EXPECT_EQ(o.at("performQos"), true);
    EXPECT_FALSE(json::parse(startParametersJson(noQos)).as_object().contains("performQosType"));
}

TEST(StartParameters, RegistrationGoesWhereTheMeasurementRegisters) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/api/v1"},
        {"https://example.org/", "https://example.org/api/v1"},
        {"https://example.org/base", "https://example.org/base/api/v1"},
        {"https://example.org/api/v2/", "https://example.org/api/v2"},
        {"https://example.org/api/v1", "https://example.org/api/v1"},
    };
    for (const auto& [controller, expected] : cases) EXPECT_EQ(registrationUrl(controller), expected) << controller;
    EXPECT_EQ(splitList("TCP,,UDP,"), (std::vector<std::string>{"TCP", "UDP"}));
    EXPECT_TRUE(splitList("").empty());
}

// Rates in the unit that suits them, three figures; time as m:ss.
TEST(Progress, RatesAreScaledAndTimesReadAsClockTimes) {
    const std::vector<std::pair<double, std::string>> rates{
        {0.0123, "12.3 kbit/s"}, {0.9994, "999 kbit/s"}, {0.9996, "1.00 Mbit/s"}, {9.996, "10.0 Mbit/s"},
        {941.304, "941 Mbit/s"}, {999.6, "1.00 Gbit/s"}, {56198.1, "56.2 Gbit/s"}, {0, "0.00 kbit/s"},
        {-1, "-"}, {std::nan(""), "-"}};
    for (const auto& [mbps, text] : rates) EXPECT_EQ(formatMbps(mbps), text) << mbps;
    EXPECT_EQ(formatElapsed(0), "0:00");
    EXPECT_EQ(formatElapsed(83), "1:23");
    EXPECT_EQ(formatElapsed(3725), "1:02:05");
}

// The overall progress never goes back, whatever order or figures the
// events bring; a phase's own progress never goes back within the phase.
TEST(Progress, TheOverallProgressNeverGoesBack) {
    Progress p(true, true);
    double last = 0;
    const std::vector<std::string> events{
        R"({"currentPhase":"init","isPretest":true,"phaseProgress":0.1})",
        R"({"currentPhase":"init","isPretest":true,"phaseProgress":1.0})",
        R"({"currentPhase":"rtt","phaseProgress":0.52})",
        R"({"currentPhase":"rtt","phaseProgress":0.3})",
        R"({"currentPhase":"init","isPretest":true,"phaseProgress":0.2})",
        R"({"currentPhase":"download","phaseProgress":0.4})",
        R"({"currentPhase":"upload","isPretest":true,"phaseProgress":0.25})",
        R"({"currentPhase":"upload","phaseProgress":0.51})",
        R"({"currentPhase":"upload","phaseProgress":1.0})",
    };
    for (const auto& e : events) {
        ASSERT_TRUE(p.onIntermediate(e));
        EXPECT_GE(p.overall(), last) << e;
        last = p.overall();
    }
    EXPECT_DOUBLE_EQ(p.overall(), 0.5);
    EXPECT_TRUE(p.onQos(R"({"progress":0.5,"qos_type_to_progress":{"TCP":1,"UDP":0}})"));
    EXPECT_DOUBLE_EQ(p.overall(), 0.75);
    EXPECT_TRUE(p.onQos(R"({"progress":0.2,"qos_type_to_progress":{"TCP":1,"UDP":0}})"));
    EXPECT_DOUBLE_EQ(p.overall(), 0.75);
    EXPECT_TRUE(p.onQos(R"({"progress":1,"qos_type_to_progress":{"TCP":1,"UDP":1}})"));
    EXPECT_DOUBLE_EQ(p.overall(), 1.0);
}

TEST(Progress, TheLiveLineShowsPhaseProgressAndRate) {
    Progress p(true);
    EXPECT_EQ(p.phase(), "");
    // The QoS tests are announced before the speed test runs.
    EXPECT_TRUE(p.onQos(R"({"qos_test_state":"QOS_RUNNING","progress":0,"qos_type_to_progress":{"TCP":0}})"));
    EXPECT_EQ(p.phase(), "");
    EXPECT_TRUE(p.onIntermediate(R"({"downloadAverageMbps":0, "uploadAverageMbps":0, "rttAverageMilliseconds":0, )"
                                 R"("isPretest":false, "currentPhase":"info", "phaseProgress":0, "numPhases":0, )"
                                 R"("currentPhaseNum":0, "totalProgress":0, "serverName":"speed_server", )"
                                 R"("serverLocation":"loopback", "providerName":"", "agentPublicIp":""})"));
    EXPECT_EQ(p.phase(), "");  // the announcement is no progress
    EXPECT_EQ(p.speed().serverName, "speed_server");

    // The phases in the order the agent reports them; the download
    // pretest is the phase the agent calls "init".
    EXPECT_TRUE(p.onIntermediate(R"({"isPretest":true, "currentPhase":"init", "phaseProgress":0.5})"));
    EXPECT_EQ(p.phase(), "speed test: download pretest");
    EXPECT_EQ(p.line().find("Mbit/s"), std::string::npos) << p.line();
    EXPECT_TRUE(p.onIntermediate(R"({"isPretest":false, "currentPhase":"rtt", "phaseProgress":0.5, )"
                                 R"("rttAverageMilliseconds":0.25})"));
    EXPECT_EQ(p.phase(), "speed test: round trip");
    EXPECT_NE(p.line().find("0.250 ms"), std::string::npos) << p.line();
    EXPECT_TRUE(p.onIntermediate(R"({"downloadAverageMbps":941.304, "uploadAverageMbps":0, )"
                                 R"("rttAverageMilliseconds":0.08, "isPretest":false, "currentPhase":"download", )"
                                 R"("phaseProgress":0.625, "totalProgress":0.5})"));
    EXPECT_EQ(p.phase(), "speed test: download");
    EXPECT_NE(p.line().find("download"), std::string::npos) << p.line();
    EXPECT_NE(p.line().find(" 63%"), std::string::npos) << p.line();
    EXPECT_NE(p.line().find("941 Mbit/s"), std::string::npos) << p.line();
    // Half the measurement is the speed test; the download is its third of four phases.
    EXPECT_NEAR(p.overall(), 0.5 * (2 + 0.625) / 4, 1e-9);
    EXPECT_NE(p.line(83).find("overall  33%   1:23   941 Mbit/s"), std::string::npos) << p.line(83);
    EXPECT_TRUE(p.onIntermediate(R"({"uploadAverageMbps":12.5, "downloadAverageMbps":941.304, )"
                                 R"("isPretest":false, "currentPhase":"upload", "phaseProgress":0.2})"));
    EXPECT_EQ(p.phase(), "speed test: upload");
    EXPECT_NE(p.line().find("12.5 Mbit/s"), std::string::npos) << p.line();
    // QoS events switch the line once a QoS test has finished.
    EXPECT_TRUE(p.onQos(R"({"qos_test_state":"QOS_RUNNING","progress":0,"qos_type_to_progress":{"TCP":0}})"));
    EXPECT_EQ(p.phase(), "speed test: upload");

    EXPECT_TRUE(p.onQos(R"({"qos_test_state":"QOS_RUNNING","progress":0.5,"started_qos_types":["TCP","UDP"],)"
                        R"("finished_qos_types":["TCP"],"qos_type_to_progress":{"TCP":1,"UDP":0.5}})"));
    EXPECT_EQ(p.phase(), "QoS tests");
    EXPECT_NE(p.line().find("1 of 2 kinds done  50%"), std::string::npos) << p.line();
    EXPECT_DOUBLE_EQ(p.overall(), 0.75);

    EXPECT_TRUE(p.onStatus(R"({"measurementState":"resultSent","error":null,"measurementUuid":"m-1", )"
                           R"("openDataUuid": "o-1"})"));
    EXPECT_TRUE(p.resultSent());
    EXPECT_EQ(p.measurementUuid(), "m-1");
    EXPECT_EQ(p.openDataUuid(), "o-1");

    // Texts that are not what the channel carries change nothing.
    for (const char* bad : {"", "not json", "[1,2]", "{\"currentPhase\":", "null"}) {
        EXPECT_FALSE(p.onIntermediate(bad)) << bad;
        EXPECT_FALSE(p.onQos(bad)) << bad;
        EXPECT_FALSE(p.onStatus(bad)) << bad;
    }
    EXPECT_EQ(p.phase(), "QoS tests");
    EXPECT_TRUE(p.resultSent());
    // A late speed event does not take the line back from the QoS tests.
    EXPECT_TRUE(p.onIntermediate(R"({"currentPhase":"upload","uploadAverageMbps":3,"phaseProgress":0.9})"));
    EXPECT_EQ(p.phase(), "QoS tests");
    // Members of the wrong kind count as absent.
    Progress wrong(true);
    EXPECT_TRUE(wrong.onIntermediate(R"({"currentPhase":"upload","uploadAverageMbps":"fast","phaseProgress":null})"));
    EXPECT_EQ(wrong.line(), "speed test: upload              0%   overall  38%") << wrong.line();

    // Without a speed test the QoS tests show from their first event.
    Progress qosOnly(false);
    EXPECT_TRUE(qosOnly.onQos(R"({"qos_test_state":"NOT_STARTED","progress":0,"qos_type_to_progress":{"TCP":0}})"));
    EXPECT_EQ(qosOnly.phase(), "QoS tests");
}

// A report as the collector receives it, cut down to what the summary reads.
const char* kReport = R"({
  "date": "2024-01-01T00:00:00", "agent-id": "a",
  "result": [
    {"option": [], "extra_data": null, "tag": [], "results": [
      {"deserialize_type": "speed_result", "status": "FINISHED",
       "bytes_download": 125000000, "duration_download_ns": 1000000000,
       "bytes_upload": 25000000, "duration_upload_ns": 2000000000,
       "rtt_info": {"median_ns": 81234, "jitter_avg_ns": 12500, "packet_loss": 0.1, "num_sent": 10, "num_lost": 1},
       "rtt_tcp_info": {"median_ns": 150000},
       "connection_info": {"address": "127.0.0.1", "port": 40000}}]},
    {"option": [], "extra_data": null, "tag": [], "results": [
      {"deserialize_type": "qos_result", "results": [
        {"test_type": "UDP", "qos_test_uid": "2", "status": "OK", "udp_result_out_num_packets": 10,
         "udp_result_out_response_num_packets": 10, "udp_result_out_packet_loss_rate": 0},
        {"test_type": "tcp", "qos_test_uid": "1", "status": "OK", "tcp_result_out": "OK"},
        {"test_type": "VOIP", "qos_test_uid": "5", "status": "TIMEOUT", "error_message": "no RTP stream"},
        {"test_type": "DNS", "qos_test_uid": "10", "status": "OK", "dns_objective_host": "h.test",
         "dns_objective_dns_record": "A", "dns_result_status": "NOERROR", "dns_result_entries_found": 1}]}]}
  ]})";

// "  name  value" rows of the human view.
std::map<std::string, std::string> rowsOf(const std::string& text) {
    std::map<std::string, std::string> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) != 0) continue;
        const auto gap = line.find("  ", 2);
        if (gap == std::string::npos) continue;
        rows[line.substr(2, gap - 2)] = line.substr(line.find_first_not_of(' ', gap));
    }
    return rows;
}

TEST(Summary, EveryFigureComesFromTheReport) {
    Summary s;
    s.accepted = true;
    s.measurementUuid = "m-1";
    s.reportPath = "/runs/report.json";
    std::string error;
    ASSERT_TRUE(readReport(kReport, s, error)) << error;
    s.reportPath = "/runs/report.json";
    const std::string text = renderSummary(s);
    auto rows = rowsOf(text);
    EXPECT_EQ(rows["download"], "1.00 Gbit/s") << text;
    EXPECT_EQ(rows["upload"], "100 Mbit/s") << text;
    EXPECT_EQ(rows["round trip (TCP)"], "0.150 ms  median") << text;
    EXPECT_EQ(rows["round trip (UDP)"], "0.081 ms  median") << text;
    EXPECT_EQ(rows["jitter (UDP)"], "0.013 ms  mean") << text;
    EXPECT_EQ(rows["loss (UDP)"], "10.0 %  (1 of 10 lost)") << text;
    EXPECT_EQ(rows["measurement UUID"], "m-1");
    // QoS tests in the order of their UIDs, each with its status.
    EXPECT_EQ(rows["TCP 1"], "OK       out: OK") << text;
    EXPECT_EQ(rows["UDP 2"], "OK       10 of 10 datagrams back, loss 0 %") << text;
    EXPECT_EQ(rows["VOIP 5"], "TIMEOUT  no RTP stream") << text;
    EXPECT_EQ(rows["DNS 10"], "OK       h.test A: NOERROR, 1 entries") << text;
    EXPECT_LT(text.find("TCP 1"), text.find("UDP 2"));
    EXPECT_LT(text.find("VOIP 5"), text.find("DNS 10"));
    EXPECT_NE(text.find("Speed test against 127.0.0.1:40000"), std::string::npos) << text;
    EXPECT_NE(text.find("The report the collector received: /runs/report.json"), std::string::npos) << text;

    const json::object o = summaryJson(s);
    EXPECT_EQ(o.at("accepted"), true);
    EXPECT_EQ(o.at("source"), "report");
    EXPECT_DOUBLE_EQ(o.at("speed").at("downloadMbps").as_double(), 1000.0);
    EXPECT_DOUBLE_EQ(o.at("speed").at("lossPercent").as_double(), 10.0);
    EXPECT_EQ(o.at("qos").as_array().size(), 4u);
    EXPECT_EQ(o.at("qos").at(2).at("status"), "TIMEOUT");
}

TEST(Summary, ABrokenReportIsRefusedAndMissingFiguresShowAsADash) {
    for (const char* text : {"", "not json", "[]", R"({"result":5})", R"({"date":"x"})"}) {
        Summary s;
        std::string error;
        EXPECT_FALSE(readReport(text, s, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    // Members of the wrong kind, a zero duration, entries that are no objects.
    Summary s;
    std::string error;
    ASSERT_TRUE(readReport(R"({"result":[5,{"results":[null,"x",{"deserialize_type":"speed_result",)"
                           R"("bytes_download":"many","duration_download_ns":1,"bytes_upload":10,)"
                           R"("duration_upload_ns":0,"rtt_info":[],"rtt_tcp_info":{"median_ns":"fast"}},)"
                           R"({"deserialize_type":"qos_result","results":[7,{"status":5}]}]}]})",
                           s, error))
        << error;
    const auto rows = rowsOf(renderSummary(s));
    EXPECT_EQ(rows.at("download"), "-");
    EXPECT_EQ(rows.at("upload"), "-");
    EXPECT_EQ(rows.at("round trip (TCP)"), "-  median");
    ASSERT_EQ(s.qos.size(), 1u);
    EXPECT_EQ(s.qos[0].status, "5");
}

TEST(Summary, WithoutAReportTheFiguresAreThoseTheAgentShowed) {
    Progress p;
    p.onIntermediate(R"({"currentPhase":"upload","downloadAverageMbps":90.5,"uploadAverageMbps":20.25,)"
                     R"("rttAverageMilliseconds":1.5,"phaseProgress":1})");
    p.onQos(R"({"qos_test_state":"QOS_RUNNING","progress":0.5,"qos_type_to_progress":{"TCP":1,"SIP":0.5}})");
    Summary s;
    s.accepted = false;
    s.failure = "the agent answered \"Empty server response\"";
    readProgress(p, s);
    const std::string text = renderSummary(s);
    const auto rows = rowsOf(text);
    EXPECT_NE(text.find("Measurement failed: the agent answered \"Empty server response\""), std::string::npos);
    EXPECT_EQ(rows.at("download"), "90.5 Mbit/s");
    EXPECT_EQ(rows.at("upload"), "20.2 Mbit/s");
    EXPECT_EQ(rows.at("round trip (TCP)"), "1.500 ms  average");
    EXPECT_EQ(rows.at("TCP"), "done     100 % of its tests finished");
    EXPECT_EQ(rows.at("SIP"), "not finished  50 % of its tests finished");
    EXPECT_EQ(summaryJson(s).at("source"), "events");
}

}  // namespace

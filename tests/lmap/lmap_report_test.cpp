// The LMAP report: its text before and after key translation, byte-exact,
// the result entries' members and the time-based result.

#include "LmapTestSupport.h"
#include "model/JsonMorpher.h"
#include "model/LmapReportDto.h"
#include "model/SubMeasurementResultKinds.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/TaskResultWriter.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;
using lmap_test::taskResultText;

namespace {

std::string toWire(const LmapReportDto& report) {
    std::string text = LmapReportDtoSerializer(report);
    JsonMorpher::morph(report.getKeyMap(), text);
    return text;
}

std::string entryText(const LmapResultDto& entry) { return json::serialize(LmapResultDtoWriter(entry)); }

}  // namespace

TEST(LmapReportDto, AFreshReportIsWrittenWithEveryKey) {
    const LmapReportDto report;
    EXPECT_EQ(LmapReportDtoSerializer(report),
              R"({"date":"","local_time":"","agent_id":"","group_id":"","measurement_point":"","result":[],)"
              R"("additional_request_info":{"anonymous_mode":false},"time_based_result":{"duration_ns":0,)"
              R"("start_time":"","end_time":"","network_points_in_time":[],"cpu_usage":[],"mem_usage":[]}})");
    EXPECT_EQ(toWire(report),
              R"({"date":"","local_time":"","agent-id":"","group-id":"","measurement-point":"","result":[],)"
              R"("additional_request_info":{"anonymous_mode":false},"time_based_result":{"duration_ns":0,)"
              R"("start_time":"","end_time":"","network_points_in_time":[],"cpu_usage":[],"mem_usage":[]}})");
}

TEST(LmapReportDto, AReportOfARunIsSentByteExactInWireNames) {
    // Task results stay with the runner; the report only points at them.
    ProgramTaskResult program;
    program.objective_task_type = "PROGRAM";
    program.test_type = "PROGRAM";
    program.status = "OK";
    program.start_time_ns = 400;
    program.duration_ns = 50;
    program.task_name = "systeminfo";
    program.result = "OK";
    program.output = "agent_id in output";
    TcpTaskResult tcp;
    tcp.objective_task_type = "TCP";
    tcp.test_type = "TCP";
    tcp.status = "OK";
    tcp.start_time_ns = 100;
    tcp.duration_ns = 10;

    LmapReportDto report;
    report.date = "2026-12-10T23:11:06";
    report.local_time = "2026-12-11T00:11:06";
    report.agent_id = "agent-42";

    {
        LmapResultDto speedEntry;
        auto speed = std::make_unique<SpeedMeasurementResult>(nullptr);
        speed->status = "FINISHED";
        speed->relative_start_time_ns = 0;
        speed->bytes_download = 123456;
        speed->download_raw_data = {{0, 1000, 5000, 6000}};
        speedEntry.results.push_back(std::move(speed));
        speedEntry.tag = {"tag-1"};
        speedEntry.extra_data = std::make_unique<std::string>(R"({"k": [1, "v"]})");
        report.result.push_back(std::move(speedEntry));
    }
    {
        LmapResultDto programEntry;
        auto sub = std::make_unique<ProgramTaskMeasurementResult>();
        sub->status = "FINISHED";
        sub->relative_start_time_ns = 400;
        sub->relative_end_time_ns = 450;
        sub->result = &program;
        programEntry.results.push_back(std::move(sub));
        report.result.push_back(std::move(programEntry));
    }
    {
        LmapResultDto qosEntry;
        auto sub = std::make_unique<QoSMeasurementResult>();
        sub->status = "FINISHED";
        sub->relative_start_time_ns = 100;
        sub->relative_end_time_ns = 110;
        sub->results = {&tcp};
        qosEntry.results.push_back(std::move(sub));
        qosEntry.results.push_back(nullptr);
        report.result.push_back(std::move(qosEntry));
    }

    report.additional_request_info.agent_type = "DESKTOP";
    report.additional_request_info.agent_uuid = "agent-42";
    report.additional_request_info.os_platform = "Linux";
    report.additional_request_info.anonymous_mode = true;

    TimeBasedResultDto& t = report.time_based_result;
    t.start_time = "2026-12-10T23:10:00";
    t.end_time = "2026-12-10T23:11:00";
    t.duration_ns = 60000000000ull;
    t.cpu_usage = {{0.5, 1000}, {0.25, -20}};
    t.mem_usage = {{0.125, 0}};
    t.network_points_in_time = {{"2026-12-10T23:10:00", 98}};
    GeoLocation location;
    location.latitude = 48.25;
    location.longitude = 16.5;
    t.geo_locations = std::vector<GeoLocation>{location};

    // The program's output holds a member name, which translation rewrites too.
    std::string programText = taskResultText(&program);
    JsonMorpher::morph(report.getKeyMap(), programText);
    ASSERT_NE(programText.find("agent-id in output"), std::string::npos);

    EXPECT_EQ(toWire(report),
              R"({"date":"2026-12-10T23:11:06","local_time":"2026-12-11T00:11:06","agent-id":"agent-42",)"
              R"("group-id":"","measurement-point":"","result":[)"
              R"({"option":[],"extra_data":{"k":[1,"v"]},"tag":["tag-1"],"results":[)"
              R"({"deserialize_type":"speed_result","status":"FINISHED","relative_start_time_ns":0,)"
              R"("bytes_download":123456,"download_raw_data":[{"stream_id":0,"relative_time_ns":1000,)"
              R"("bytes":5000,"bytes_including_slow_start":6000}],"upload_raw_data":[],"rtt_info":null,)"
              R"("rtt_tcp_info":null}]},)"
              R"({"option":[],"extra_data":null,"tag":[],"results":[{"deserialize_type":"program_task_result",)"
              R"("status":"FINISHED","relative_start_time_ns":400,"relative_end_time_ns":450,"result":)" +
                  programText + R"(}]},)"
              R"({"option":[],"extra_data":null,"tag":[],"results":[{"deserialize_type":"qos_result",)"
              R"("status":"FINISHED","relative_start_time_ns":100,"relative_end_time_ns":110,"results":[)" +
                  taskResultText(&tcp) + R"(]},null]}],)"
              R"("additional_request_info":{"agent_uuid":"agent-42","os_platform":"Linux","agent_type":"DESKTOP",)"
              R"("anonymous_mode":true},)"
              R"("time_based_result":{"duration_ns":60000000000,"start_time":"2026-12-10T23:10:00",)"
              R"("end_time":"2026-12-10T23:11:00","network_points_in_time":[{"network_type_id":98,)"
              R"("time":"2026-12-10T23:10:00"}],"cpu_usage":[{"value":5E-1,"relative_time_ns":1000},)"
              R"({"value":2.5E-1,"relative_time_ns":-20}],"mem_usage":[{"value":1.25E-1,"relative_time_ns":0}],)"
              R"("geo_locations":[{"latitude":4.825E1,"longitude":1.65E1}]}})");
    EXPECT_NE(taskResultText(&tcp), "null");
}

TEST(LmapReportDto, ExtraDataIsEmbeddedWhenItParses) {
    struct Case {
        const char* name;
        std::unique_ptr<std::string> extra;
        const char* extraJson;
        bool printsError;
    };
    Case cases[] = {
        {"none", nullptr, "null", false},
        {"object", std::make_unique<std::string>(R"({"a":{"b":true}})"), R"({"a":{"b":true}})", false},
        {"scalar", std::make_unique<std::string>("42"), "42", false},
        {"not JSON", std::make_unique<std::string>("{oops"), "null", true},
        {"comments are not accepted here", std::make_unique<std::string>("[1] // c"), "null", true},
    };
    for (auto& c : cases) {
        LmapResultDto entry;
        entry.extra_data = std::move(c.extra);
        testing::internal::CaptureStdout();
        const std::string text = entryText(entry);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(text, std::string(R"({"option":[],"extra_data":)") + c.extraJson + R"(,"tag":[],"results":[]})")
            << c.name;
        if (c.printsError) {
            EXPECT_EQ(out.rfind("Error during JSON parse: ", 0), 0u) << c.name << ": " << out;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.name;
        } else {
            EXPECT_EQ(out, "") << c.name;
        }
    }
}

TEST(LmapReportDto, TimeBasedResultWritesOptionalMembersOnlyWhenPresent) {
    struct Case {
        const char* name;
        std::function<void(TimeBasedResultDto&)> fill;
        const char* text;
    };
    const Case cases[] = {
        {"public IPv4 directly after the duration",
         [](TimeBasedResultDto& t) { t.agent_public_ipv4 = "192.0.2.1"; },
         R"({"duration_ns":0,"agent_public_ipv4":"192.0.2.1","start_time":"","end_time":"",)"
         R"("network_points_in_time":[],"cpu_usage":[],"mem_usage":[]})"},
        {"all four addresses in order",
         [](TimeBasedResultDto& t) {
             t.agent_private_ipv6 = "d";
             t.agent_public_ipv6 = "c";
             t.agent_private_ipv4 = "b";
             t.agent_public_ipv4 = "a";
         },
         R"({"duration_ns":0,"agent_public_ipv4":"a","agent_private_ipv4":"b","agent_public_ipv6":"c",)"
         R"("agent_private_ipv6":"d","start_time":"","end_time":"","network_points_in_time":[],"cpu_usage":[],)"
         R"("mem_usage":[]})"},
        {"present empty geo list, and a position with nothing present",
         [](TimeBasedResultDto& t) { t.geo_locations = std::vector<GeoLocation>{}; },
         R"({"duration_ns":0,"start_time":"","end_time":"","network_points_in_time":[],"cpu_usage":[],)"
         R"("mem_usage":[],"geo_locations":[]})"},
        {"a full position in key order",
         [](TimeBasedResultDto& t) {
             GeoLocation g{"12:00", 5, "gps", 1.5, 2.5, 3.5, 4.5, 5.5, 6.5};
             t.geo_locations = std::vector<GeoLocation>{g, GeoLocation{}};
         },
         R"({"duration_ns":0,"start_time":"","end_time":"","network_points_in_time":[],"cpu_usage":[],)"
         R"("mem_usage":[],"geo_locations":[{"time":"12:00","relative_time_ns":5,"provider":"gps",)"
         R"("accuracy":1.5E0,"altitude":2.5E0,"heading":3.5E0,"speed":4.5E0,"latitude":5.5E0,)"
         R"("longitude":6.5E0},{}]})"},
        {"non-finite figures become null so the text stays JSON",
         [](TimeBasedResultDto& t) {
             t.cpu_usage = {{std::numeric_limits<double>::quiet_NaN(), 1}};
             GeoLocation g;
             g.accuracy = std::numeric_limits<double>::infinity();
             t.geo_locations = std::vector<GeoLocation>{g};
         },
         R"({"duration_ns":0,"start_time":"","end_time":"","network_points_in_time":[],)"
         R"("cpu_usage":[{"value":null,"relative_time_ns":1}],"mem_usage":[],"geo_locations":[{"accuracy":null}]})"},
    };
    for (const auto& c : cases) {
        TimeBasedResultDto t;
        c.fill(t);
        EXPECT_EQ(json::serialize(TimeBasedResultDtoWriter(t)), c.text) << c.name;
    }
}

TEST(LmapReportDto, ResultEntryOptionsAndTagsAreAlwaysArrays) {
    LmapResultDto entry;
    LmapOptionDto option;
    option.name = "n";
    option.value = "v";
    option.measurement_parameters = std::make_unique<MeasurementTypeParameters>("speed_params");
    entry.option.push_back(std::move(option));
    entry.tag = {"a", "b"};
    EXPECT_EQ(entryText(entry),
              R"({"option":[{"name":"n","value":"v","measurement_parameters":null}],"extra_data":null,)"
              R"("tag":["a","b"],"results":[]})");
}

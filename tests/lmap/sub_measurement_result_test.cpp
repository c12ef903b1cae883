// The sub-results of a report entry: which kind is written for which record,
// and the speed sub-result's exact key order with its three ways of marking
// absence.

#include "LmapTestSupport.h"
#include "model/SubMeasurementResultKinds.h"
#include "model/SubMeasurementResultWriter.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/TaskResultWriter.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;
using lmap_test::taskResultText;

namespace {

std::string written(const SubMeasurementResult* result) { return json::serialize(SubMeasurementResultWriter(result)); }

std::unique_ptr<TcpTaskResult> tcpResult(std::uint64_t start) {
    auto r = std::make_unique<TcpTaskResult>();
    r->objective_task_type = "TCP";
    r->test_type = "TCP";
    r->qos_test_uid = "77";
    r->status = "OK";
    r->start_time_ns = start;
    r->duration_ns = 5;
    r->tcp_objective_out_port = 80;
    return r;
}

std::unique_ptr<SpeedMeasurementResult> emptySpeed() { return std::make_unique<SpeedMeasurementResult>(nullptr); }

}  // namespace

TEST(SubMeasurementResultWriter, WritesTheKindThatTheTypeTextNames) {
    auto tcp = tcpResult(100);
    ProgramTaskResult program;
    program.objective_task_type = "PROGRAM";
    program.test_type = "PROGRAM";
    program.task_name = "systeminfo";
    program.result = "OK";

    struct Case {
        const char* name;
        std::function<std::unique_ptr<SubMeasurementResult>()> make;
        std::string text;
    };
    const Case cases[] = {
        {"speed type text in capitals keeps its spelling",
         [] {
             auto s = emptySpeed();
             s->deserialize_type = "SPEED_RESULT";
             return s;
         },
         R"({"deserialize_type":"SPEED_RESULT","download_raw_data":[],"upload_raw_data":[],)"
         R"("rtt_info":null,"rtt_tcp_info":null})"},
        {"QoS record named speed_result is not written",
         [] {
             auto q = std::make_unique<QoSMeasurementResult>();
             q->deserialize_type = "speed_result";
             return q;
         },
         "null"},
        {"unknown type text", [] { return std::make_unique<SubMeasurementResult>("voip_result"); }, "null"},
        {"base record named qos_result", [] { return std::make_unique<SubMeasurementResult>("qos_result"); }, "null"},
        {"empty QoS list",
         [] {
             auto q = std::make_unique<QoSMeasurementResult>();
             q->status = "FINISHED";
             return q;
         },
         R"({"deserialize_type":"qos_result","status":"FINISHED","results":[]})"},
        {"QoS list with results and a null pointer, in list order",
         [&] {
             auto q = std::make_unique<QoSMeasurementResult>();
             q->status = "FINISHED";
             q->relative_start_time_ns = 100;
             q->relative_end_time_ns = 205;
             q->results = {tcp.get(), nullptr, &program};
             return q;
         },
         R"({"deserialize_type":"qos_result","status":"FINISHED","relative_start_time_ns":100,)"
         R"("relative_end_time_ns":205,"results":[)" + taskResultText(tcp.get()) + ",null," +
             taskResultText(&program) + "]}"},
        {"program result",
         [&] {
             auto p = std::make_unique<ProgramTaskMeasurementResult>();
             p->deserialize_type = "Program_Task_Result";
             p->relative_end_time_ns = 7;
             p->result = &program;
             return p;
         },
         R"({"deserialize_type":"Program_Task_Result","relative_end_time_ns":7,"result":)" +
             taskResultText(&program) + "}"},
        {"program without its task result",
         [] { return std::make_unique<ProgramTaskMeasurementResult>(); },
         R"({"deserialize_type":"program_task_result","result":null})"},
    };
    for (const auto& c : cases) {
        auto result = c.make();
        EXPECT_EQ(written(result.get()), c.text) << c.name;
    }
    EXPECT_EQ(written(nullptr), "null");
    // The embedded task results are real objects, not nulls.
    EXPECT_NE(taskResultText(tcp.get()), "null");
    EXPECT_NE(taskResultText(&program), "null");
}

TEST(SpeedMeasurementResultWriter, WritesEveryFigureInOrderByteExact) {
    auto s = emptySpeed();
    s->status = "FINISHED";
    s->relative_start_time_ns = 0;
    s->relative_end_time_ns = 9000;
    s->bytes_download = 1;
    s->bytes_download_including_slow_start = 2;
    s->bytes_upload = 3;
    s->bytes_upload_including_slow_start = 4;
    s->duration_rtt_ns = 5;
    s->duration_rtt_tcp_ns = 6;
    s->duration_download_ns = 7;
    s->duration_upload_ns = 8;
    s->relative_start_time_rtt_ns = 9;
    s->relative_start_time_download_ns = 10;
    s->relative_start_time_upload_ns = 11;
    s->download_raw_data = {{0, 100, 2000, 2500}, {1, 200, 4000, 4100}};
    s->upload_raw_data = {{3, 300, 6000, 6000}};

    UdpRttStatisticsDto udp;
    udp.num_sent = 10;
    udp.num_received = 9;
    udp.num_error = 1;
    udp.num_missing = 2;
    udp.packet_size = 32;
    udp.average_ns = 20;
    udp.median_ns = 21;
    udp.min_ns = 22;
    udp.max_ns = 23;
    udp.standard_deviation_ns = 24;
    udp.requested_num_packets = 10;
    udp.rtt_min_ns = 30;
    udp.jitter_var_ns = 41;
    udp.rtts = {{50, 60, false, std::nullopt, 1u}, {51, 61, std::nullopt, true, std::nullopt}};
    udp.packet_loss = 0.25f;
    udp.num_lost = 1;
    udp.num_out_of_order = 2;
    s->rtt_info = udp;

    RttStatisticsDto tcp;
    tcp.num_sent = -1;
    tcp.rtt_max_ns = 31;
    tcp.rtt_avg_ns = 32;
    tcp.rtt_med_ns = 33;
    tcp.rtt_std_dev_ns = 34;
    tcp.rtt_var_ns = 35;
    tcp.jitter_min_ns = 36;
    tcp.jitter_max_ns = 37;
    tcp.jitter_avg_ns = 38;
    tcp.jitter_med_ns = 39;
    tcp.jitter_std_dev_ns = 40;
    tcp.rtts = {{70, 80}};
    s->rtt_tcp_info = tcp;

    SpeedConnectionInfoDto info;
    info.address = "ms.example";
    info.port = 443;
    info.identifier = "id";
    info.encrypted = true;
    info.requested_num_streams_download = 4;
    info.requested_num_streams_upload = 3;
    info.actual_num_streams_download = 2;
    info.actual_num_streams_upload = 1;
    info.agent_interface_total_traffic = InterfaceTrafficDto{100, 200};
    info.agent_interface_download_measurement_traffic = InterfaceTrafficDto{10, std::nullopt};
    info.agent_interface_upload_measurement_traffic = InterfaceTrafficDto{std::nullopt, 20};
    info.rtt_stream_info = std::vector<SprintConnectionStreamInfo>{};
    SprintConnectionStreamInfo stream;
    stream.client = SprintEndpoint{"10.0.0.2", 50000, "192.0.2.9", 443};
    stream.server = SprintEndpoint{std::nullopt, 443, std::nullopt, std::nullopt};
    info.download_stream_info = std::vector<SprintConnectionStreamInfo>{stream};
    s->connection_info = info;

    EXPECT_EQ(written(s.get()),
              R"({"deserialize_type":"speed_result","status":"FINISHED","relative_start_time_ns":0,)"
              R"("relative_end_time_ns":9000,"bytes_download":1,"bytes_download_including_slow_start":2,)"
              R"("bytes_upload":3,"bytes_upload_including_slow_start":4,"duration_rtt_ns":5,)"
              R"("duration_rtt_tcp_ns":6,"duration_download_ns":7,"duration_upload_ns":8,)"
              R"("relative_start_time_rtt_ns":9,"relative_start_time_download_ns":10,)"
              R"("relative_start_time_upload_ns":11,)"
              R"("download_raw_data":[{"stream_id":0,"relative_time_ns":100,"bytes":2000,)"
              R"("bytes_including_slow_start":2500},{"stream_id":1,"relative_time_ns":200,"bytes":4000,)"
              R"("bytes_including_slow_start":4100}],)"
              R"("upload_raw_data":[{"stream_id":3,"relative_time_ns":300,"bytes":6000,)"
              R"("bytes_including_slow_start":6000}],)"
              R"("rtt_info":{"packet_size":32,"num_missing":2,"num_error":1,"num_received":9,"num_sent":10,)"
              R"("average_ns":20,"median_ns":21,"min_ns":22,"max_ns":23,"standard_deviation_ns":24,)"
              R"("requested_num_packets":10,"rtt_min_ns":30,"jitter_var_ns":41,)"
              R"("rtts":[{"rtt_ns":50,"relative_time_ns":60,"l":false,"i":1},)"
              R"({"rtt_ns":51,"relative_time_ns":61,"o":true}],)"
              R"("packet_loss":2.5E-1,"num_lost":1,"num_out_of_order":2},)"
              R"("rtt_tcp_info":{"packet_size":0,"num_missing":0,"num_error":0,"num_received":0,"num_sent":-1,)"
              R"("average_ns":0,"median_ns":0,"min_ns":0,"max_ns":0,"standard_deviation_ns":0,)"
              R"("rtt_max_ns":31,"rtt_avg_ns":32,"rtt_med_ns":33,"rtt_std_dev_ns":34,"rtt_var_ns":35,)"
              R"("jitter_min_ns":36,"jitter_max_ns":37,"jitter_avg_ns":38,"jitter_med_ns":39,)"
              R"("jitter_std_dev_ns":40,"rtts":[{"rtt_ns":70,"relative_time_ns":80}]},)"
              R"("connection_info":{"address":"ms.example","port":443,"identifier":"id","encrypted":true,)"
              R"("requested_num_streams_download":4,"requested_num_streams_upload":3,)"
              R"("actual_num_streams_download":2,"actual_num_streams_upload":1,)"
              R"("agent_interface_total_traffic":{"bytes_rx":100,"bytes_tx":200},)"
              R"("agent_interface_upload_measurement_traffic":{"bytes_tx":20},)"
              R"("agent_interface_download_measurement_traffic":{"bytes_rx":10},)"
              R"("rtt_stream_info":[],"download_stream_info":[{"client":{"local_ip":"10.0.0.2",)"
              R"("local_port":50000,"remote_ip":"192.0.2.9","remote_port":443},"server":{"local_port":443}}]}})");
}

TEST(SpeedMeasurementResultWriter, MarksAbsenceThreeWays) {
    // Figures and connection facts are left out, statistics are null, the
    // raw-data lists are always there.
    struct Case {
        const char* name;
        std::function<void(SpeedMeasurementResult&)> fill;
        const char* text;
    };
    const Case cases[] = {
        {"nothing but the type text", [](SpeedMeasurementResult&) {},
         R"({"deserialize_type":"speed_result","download_raw_data":[],"upload_raw_data":[],)"
         R"("rtt_info":null,"rtt_tcp_info":null})"},
        {"one figure, connection with address and TLS only",
         [](SpeedMeasurementResult& s) {
             s.bytes_upload = 0;
             s.connection_info.emplace();
             s.connection_info->address = "a";
             s.connection_info->encrypted = false;
         },
         R"({"deserialize_type":"speed_result","bytes_upload":0,"download_raw_data":[],"upload_raw_data":[],)"
         R"("rtt_info":null,"rtt_tcp_info":null,"connection_info":{"address":"a","encrypted":false}})"},
        {"statistics without samples: UDP adds its three after rtts, TCP ends with rtts",
         [](SpeedMeasurementResult& s) {
             s.rtt_info.emplace();
             s.rtt_tcp_info.emplace();
         },
         R"({"deserialize_type":"speed_result","download_raw_data":[],"upload_raw_data":[],)"
         R"("rtt_info":{"packet_size":0,"num_missing":0,"num_error":0,"num_received":0,"num_sent":0,)"
         R"("average_ns":0,"median_ns":0,"min_ns":0,"max_ns":0,"standard_deviation_ns":0,"rtts":[],)"
         R"("packet_loss":0E0,"num_lost":0,"num_out_of_order":0},)"
         R"("rtt_tcp_info":{"packet_size":0,"num_missing":0,"num_error":0,"num_received":0,"num_sent":0,)"
         R"("average_ns":0,"median_ns":0,"min_ns":0,"max_ns":0,"standard_deviation_ns":0,"rtts":[]}})"},
        {"empty connection facts and a stream with only its client side",
         [](SpeedMeasurementResult& s) {
             s.connection_info.emplace();
             SprintConnectionStreamInfo stream;
             stream.client.emplace();
             s.connection_info->upload_stream_info = std::vector<SprintConnectionStreamInfo>{stream, {}};
         },
         R"({"deserialize_type":"speed_result","download_raw_data":[],"upload_raw_data":[],)"
         R"("rtt_info":null,"rtt_tcp_info":null,"connection_info":{"upload_stream_info":[{"client":{}},{}]}})"},
    };
    for (const auto& c : cases) {
        auto s = emptySpeed();
        c.fill(*s);
        EXPECT_EQ(written(s.get()), c.text) << c.name;
    }
}

TEST(SpeedMeasurementResultWriter, ANonFiniteLossRateIsWrittenAsNull) {
    for (float loss : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        auto s = emptySpeed();
        s->rtt_info.emplace();
        s->rtt_info->packet_loss = loss;
        const std::string text = written(s.get());
        ASSERT_NO_THROW(json::parse(text)) << text;  // still a JSON text
        EXPECT_NE(text.find(R"("packet_loss":null,"num_lost":0)"), std::string::npos) << text;
    }
}

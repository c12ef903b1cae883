// The native speed-test task: the client configuration record, the test
// seam that shortens it, the mapping of progress reports, the copy of the
// parsed client result, the failure table, one speed test at a time, and a
// real run against the loopback measurement server.

#include "SpeedServer.h"
#include "SpeedTestSupport.h"

#include "TaskRunner.h"
#include "helper/SysInfoCollector.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/SprintMeasurementResult.h"
#include "model/result/VelaTaskResult.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/MeasurementCallbacks.h"
#include "tasks/NativeVelaTask.h"
#include "tasks/SpeedTestOverrides.h"
#include "tasks/TaskException.h"

#include <gtest/gtest.h>

#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

using namespace trevask::measurement_library;
using namespace std::chrono_literals;
namespace vela = trevask::vela;

using namespace speed_test_support;

namespace {

mclient_progress report(std::uint32_t phase, float phasePercent, float totalPercent, std::uint64_t rttNs = 0,
                        double downloadBps = 0, double uploadBps = 0) {
    mclient_progress p;
    std::memset(&p, 0, sizeof p);
    p.phase = phase;
    p.phase_progress = phasePercent;
    p.total_progress = totalPercent;
    p.rtt_ns = rttNs;
    p.download_bps = downloadBps;
    p.upload_bps = uploadBps;
    return p;
}

std::unique_ptr<VelaTaskConfiguration> speedConfiguration(std::string host = "127.0.0.1") {
    auto c = std::make_unique<VelaTaskConfiguration>();
    c->host = std::move(host);
    c->qos_test_uid = "";
    return c;
}

struct TaskRun {
    TaskStatus status;
    std::unique_ptr<VelaTaskResult> result;
};

TaskRun runTask(TaskConfiguration* configuration) {
    auto base = NativeVelaTask::create(configuration);
    base->runTask();
    TaskRun run{base->getStatus(), nullptr};
    auto result = base->createResult();
    run.result.reset(dynamic_cast<VelaTaskResult*>(result.release()));
    return run;
}

}  // namespace

TEST(NativeVelaTask, ClientRecordCarriesTheConfigurationAndTheProductionValues) {
    VelaTaskConfiguration c;
    c.host = "speed.example";
    c.port = 70000;             // beyond 16 bits: the low 16 bits reach the client
    c.udpPort = 65536 + 7;
    c.use_tls = true;
    c.rttPhase = false;
    c.downloadPhase = true;
    c.uploadPhase = false;
    c.download_duration_seconds = 3;  // not passed: fixed values take its place
    c.upload_duration_seconds = 4;
    c.skip_certificate_validation = false;
    c.authToken.clear();

    const mclient_config r = NativeVelaTask::clientConfiguration(c);
    EXPECT_EQ(r.host, c.host.c_str());
    EXPECT_EQ(r.port_tcp, 4464);
    EXPECT_EQ(r.port_udp, 7);
    EXPECT_EQ(r.tls, 1u);
    EXPECT_EQ(r.skip_certificate_validation, 1u);
    EXPECT_EQ(r.progress_update_limit_ms, 200u);
    EXPECT_EQ(r.raw_history_sampling_rate_ms, 250u);
    EXPECT_EQ(r.run_rtt_tcp_phase, 0u);
    EXPECT_EQ(r.run_rtt_udp_phase, 0u);
    EXPECT_EQ(r.skip_dl_pretest, 0u);
    EXPECT_EQ(r.run_downlink_phase, 1u);
    EXPECT_EQ(r.skip_ul_pretest, 0u);
    EXPECT_EQ(r.run_uplink_phase, 0u);
    EXPECT_EQ(r.rtt_tcp_payload_size, 5u);
    EXPECT_EQ(r.rtt_tcp_num_packets, 10u);
    EXPECT_EQ(r.rtt_tcp_delay_ms, 10u);
    EXPECT_EQ(r.rtt_tcp_timeout_s, 10u);
    EXPECT_EQ(r.rtt_udp_payload_size, 32u);
    EXPECT_EQ(r.rtt_udp_num_packets, 500u);
    EXPECT_EQ(r.rtt_udp_delay_ms, 10u);
    EXPECT_EQ(r.rtt_udp_timeout_s, 10u);
    EXPECT_EQ(r.dl_pretest_duration_s, 2u);
    EXPECT_EQ(r.dl_duration_s, 10u);
    EXPECT_EQ(r.dl_slow_start_duration_s, 3u);
    EXPECT_EQ(r.dl_num_connections, 4u);
    EXPECT_EQ(r.ul_pretest_duration_s, 2u);
    EXPECT_EQ(r.ul_duration_s, 10u);
    EXPECT_EQ(r.ul_slow_start_duration_s, 3u);
    EXPECT_EQ(r.ul_num_connections, 4u);
    ASSERT_NE(r.token, nullptr);  // an empty text, never a null pointer
    EXPECT_STREQ(r.token, "");
    EXPECT_EQ(r.token, c.authToken.c_str());
    EXPECT_EQ(r.secret_key, nullptr);
    EXPECT_EQ(r.ipv4_only, 0u);
    EXPECT_EQ(r.ipv6_only, 0u);

    // The switches the other way round.
    c.use_tls = false;
    c.rttPhase = true;
    c.downloadPhase = false;
    c.uploadPhase = true;
    c.authToken = "a_token";
    const mclient_config other = NativeVelaTask::clientConfiguration(c);
    EXPECT_EQ(other.tls, 0u);
    EXPECT_EQ(other.run_rtt_tcp_phase, 1u);
    EXPECT_EQ(other.run_rtt_udp_phase, 1u);
    EXPECT_EQ(other.run_downlink_phase, 0u);
    EXPECT_EQ(other.run_uplink_phase, 1u);
    EXPECT_STREQ(other.token, "a_token");

    // The test seam replaces only the values it names.
    std::string error;
    auto overrides = SpeedTestOverrides::parse("short,dl_duration_s=2", error);
    ASSERT_TRUE(overrides) << error;
    const mclient_config shortened = NativeVelaTask::clientConfiguration(c, &*overrides);
    EXPECT_EQ(shortened.dl_duration_s, 2u);
    EXPECT_EQ(shortened.ul_duration_s, 1u);
    EXPECT_EQ(shortened.dl_slow_start_duration_s, 0u);
    EXPECT_EQ(shortened.dl_num_connections, 2u);
    EXPECT_EQ(shortened.rtt_udp_num_packets, 10u);
    EXPECT_EQ(shortened.rtt_tcp_payload_size, 5u);
    EXPECT_EQ(shortened.progress_update_limit_ms, 200u);
    EXPECT_EQ(shortened.port_tcp, 4464);
    EXPECT_STREQ(shortened.token, "a_token");
}

// The warnings of the native speed-test task's logger while it lives.
class NativeTaskLog {
public:
    NativeTaskLog() : logger(Poco::Logger::get("NativeVelaTask")), saved(logger.getChannel()), level(logger.getLevel()) {
        logger.setChannel(Poco::Channel::Ptr(new Sink(*this)));
        logger.setLevel(Poco::Message::PRIO_WARNING);
    }
    ~NativeTaskLog() {
        logger.setChannel(saved);
        logger.setLevel(level);
    }
    std::vector<std::string> warnings() const {
        std::lock_guard lock(mutex);
        return lines;
    }

private:
    class Sink : public Poco::Channel {
    public:
        explicit Sink(NativeTaskLog& owner) : owner(owner) {}
        void log(const Poco::Message& message) override {
            if (message.getPriority() > Poco::Message::PRIO_WARNING) return;
            std::lock_guard lock(owner.mutex);
            owner.lines.push_back(message.getText());
        }

    private:
        NativeTaskLog& owner;
    };

    Poco::Logger& logger;
    Poco::Channel::Ptr saved;
    int level;
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

TEST(SpeedTestOverrides, TextFormAndEnvironment) {
    struct Case {
        const char* text;
        std::map<std::string, std::uint32_t> expected;  // empty with an error
        bool valid;
    };
    const Case cases[] = {
        {"", {}, true},
        {" , ,", {}, true},
        {"dl_duration_s=2", {{"dl_duration_s", 2}}, true},
        {" ul_num_connections = 255 ,rtt_udp_num_packets=0", {{"ul_num_connections", 255}, {"rtt_udp_num_packets", 0}},
         true},
        {"dl_duration_s=3,dl_duration_s=4", {{"dl_duration_s", 4}}, true},
        {"dl_num_connections=256", {}, false},  // an 8-bit field
        {"dl_duration_s=4294967296", {}, false},
        {"dl_duration_s=-1", {}, false},
        {"dl_duration_s=1s", {}, false},
        {"dl_duration_s=", {}, false},
        {"dl_duration_s", {}, false},
        {"host=evil", {}, false},  // only durations, counts, delays and limits
        {"token=x", {}, false},
        {"shorter", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        auto parsed = SpeedTestOverrides::parse(c.text, error);
        ASSERT_EQ(parsed.has_value(), c.valid) << error;
        if (parsed) {
            EXPECT_EQ(parsed->values, c.expected);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    // The preset, and later entries over it.
    std::string error;
    auto preset = SpeedTestOverrides::parse("short,ul_duration_s=2", error);
    ASSERT_TRUE(preset);
    auto presetAlone = SpeedTestOverrides::parse(SpeedTestOverrides::kShortPreset, error);
    ASSERT_TRUE(presetAlone);
    EXPECT_EQ(presetAlone->values.at("ul_duration_s"), 1u);
    EXPECT_EQ(preset->values.at("ul_duration_s"), 2u);
    EXPECT_EQ(preset->values.size(), presetAlone->values.size());
    for (const auto& [name, value] : presetAlone->values) {
        EXPECT_NE(std::find(speedTestOverrideFields().begin(), speedTestOverrideFields().end(), name),
                  speedTestOverrideFields().end())
            << name;
    }

    // The environment variable: read when no in-process overrides are set,
    // and only in a build with the test seams. Every speed test that the
    // overrides shorten says so in the log at warning level.
    NativeTaskLog log;
    ASSERT_EQ(std::getenv(SpeedTestOverrides::kEnvironmentVariable), nullptr);
    EXPECT_FALSE(currentSpeedTestOverrides());
    ::setenv(SpeedTestOverrides::kEnvironmentVariable, "short", 1);
    if (!speedTestOverridesBuilt()) {
        SpeedTestOverrides inProcess;
        inProcess.values = {{"dl_duration_s", 7}};
        setSpeedTestOverridesForTesting(inProcess);
        EXPECT_FALSE(currentSpeedTestOverrides());
        setSpeedTestOverridesForTesting(std::nullopt);
        ::unsetenv(SpeedTestOverrides::kEnvironmentVariable);
        EXPECT_EQ(log.warnings(), std::vector<std::string>{"LUMIVEX_TEST_SPEED_OVERRIDES ignored: this build has no test seams"});
        return;
    }
    auto fromEnvironment = currentSpeedTestOverrides();
    ASSERT_TRUE(fromEnvironment);
    EXPECT_EQ(fromEnvironment->values, presetAlone->values);
    ::setenv(SpeedTestOverrides::kEnvironmentVariable, "dl_duration_s=1,bogus=2", 1);
    EXPECT_FALSE(currentSpeedTestOverrides());  // malformed: ignored as a whole
    ::setenv(SpeedTestOverrides::kEnvironmentVariable, "dl_duration_s=5", 1);
    SpeedTestOverrides inProcess;
    inProcess.values = {{"dl_duration_s", 7}, {"ul_num_connections", 1}};
    setSpeedTestOverridesForTesting(inProcess);
    ASSERT_TRUE(currentSpeedTestOverrides());
    EXPECT_EQ(currentSpeedTestOverrides()->values.at("dl_duration_s"), 7u);  // in-process first
    setSpeedTestOverridesForTesting(std::nullopt);
    EXPECT_EQ(currentSpeedTestOverrides()->values.at("dl_duration_s"), 5u);
    ::unsetenv(SpeedTestOverrides::kEnvironmentVariable);
    EXPECT_FALSE(currentSpeedTestOverrides());

    const std::vector<std::string> expected{
        "Speed test shortened by LUMIVEX_TEST_SPEED_OVERRIDES: " + presetAlone->text(),
        "LUMIVEX_TEST_SPEED_OVERRIDES ignored: unknown field: bogus",
        "Speed test shortened by in-process test overrides: dl_duration_s=7,ul_num_connections=1",
        "Speed test shortened by in-process test overrides: dl_duration_s=7,ul_num_connections=1",
        "Speed test shortened by LUMIVEX_TEST_SPEED_OVERRIDES: dl_duration_s=5",
    };
    EXPECT_EQ(log.warnings(), expected);
}

TEST(NativeVelaTask, ProgressReportsBecomeIntermediateRecords) {
    NativeVelaTask::clearClientState();
    IntermediateLog log;
    struct Step {
        mclient_progress progress;
        const char* phase;
        std::int32_t phaseNum;
        bool pretest;
        float phaseProgress;
        float totalProgress;
        double rttMs;
        double downloadMbps;
        double uploadMbps;
    };
    const Step steps[] = {
        {report(1, 50, 5), "init", 0, true, 0.5f, 0.05f, 0, 0, 0},
        {report(2, 50, 20, 0), "rtt", 1, false, 0.25f, 0.2f, 0, 0, 0},  // a round trip of 0 is not stored
        {report(2, 100, 33, 12'345'678), "rtt", 1, false, 0.5f, 0.33f, 12.345678, 0, 0},
        {report(2, 100, 33, 0), "rtt", 1, false, 0.5f, 0.33f, 12.345678, 0, 0},  // the stored one stays
        {report(3, 40, 40), "rtt", 1, false, 0.7f, 0.4f, 12.345678, 0, 0},
        {report(4, 10, 50, 0, 123'456'789.9), "download", 2, false, 0.1f, 0.5f, 12.345678, 123.456789, 0},
        {report(5, 30, 70), "upload", 3, true, 0.15f, 0.7f, 12.345678, 123.456789, 0},
        {report(6, 60, 90, 0, 0, 5e6), "upload", 3, false, 0.8f, 0.9f, 12.345678, 123.456789, 5.0},
        {report(6, 100, 100, 0, 0, 4.5e6), "upload", 3, false, 1.0f, 1.0f, 12.345678, 123.456789, 4.5},
        {report(9, 20, 100), "init", 0, false, 0.2f, 1.0f, 12.345678, 123.456789, 4.5},  // unknown kind
    };
    for (const auto& step : steps) NativeVelaTask::onClientProgress(&step.progress);
    NativeVelaTask::onClientProgress(nullptr);  // ignored

    const auto records = log.snapshot();
    ASSERT_EQ(records.size(), std::size(steps));
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& r = records[i];
        const auto& s = steps[i];
        EXPECT_EQ(r.currentPhase, s.phase);
        EXPECT_EQ(r.currentPhaseNum, s.phaseNum);
        EXPECT_EQ(r.numPhases, 4);
        EXPECT_EQ(r.isPretest, s.pretest);
        EXPECT_FLOAT_EQ(r.phaseProgress, s.phaseProgress);
        EXPECT_FLOAT_EQ(r.totalProgress, s.totalProgress);
        EXPECT_DOUBLE_EQ(r.rttAverageMilliseconds, s.rttMs);
        EXPECT_DOUBLE_EQ(r.rttNanoseconds, s.rttMs * 1e6);
        EXPECT_DOUBLE_EQ(r.downloadAverageMbps, s.downloadMbps);
        EXPECT_DOUBLE_EQ(r.downloadBps, s.downloadMbps * 1e6);  // the fraction of a bit is dropped
        EXPECT_DOUBLE_EQ(r.uploadAverageMbps, s.uploadMbps);
        EXPECT_DOUBLE_EQ(r.uploadBps, s.uploadMbps * 1e6);
        EXPECT_TRUE(r.serverName.empty() && r.serverLocation.empty() && r.providerName.empty() &&
                    r.agentPublicIp.empty());
    }

    // A throughput that is not a number counts as 0.
    auto nan = report(4, 10, 50, 0, std::numeric_limits<double>::quiet_NaN());
    NativeVelaTask::onClientProgress(&nan);
    auto negative = report(6, 10, 50, 0, 0, -3.0);
    NativeVelaTask::onClientProgress(&negative);
    const auto after = log.snapshot();
    ASSERT_EQ(after.size(), records.size() + 2);
    EXPECT_EQ(after.back().downloadBps, 0.0);
    EXPECT_EQ(after.back().uploadBps, 0.0);

    // With the slot empty nothing is built and nothing is thrown.
    auto taken = vela::intermediateMeasurementCallback.take();
    auto any = report(4, 1, 1, 0, 1e6);
    EXPECT_NO_THROW(NativeVelaTask::onClientProgress(&any));
    vela::intermediateMeasurementCallback.set(taken);
    EXPECT_EQ(log.snapshot().size(), after.size());
}

TEST(NativeVelaTask, ResultAndErrorTextsOfTheClient) {
    NativeVelaTask::clearClientState();
    NativeVelaTask::onClientResult(nullptr);
    NativeVelaTask::onClientError(nullptr);
    EXPECT_FALSE(NativeVelaTask::lastResultText());
    EXPECT_FALSE(NativeVelaTask::lastErrorText());
    NativeVelaTask::onClientResult("{\"a\":1}");
    NativeVelaTask::onClientResult("{}");  // replaces the earlier text
    NativeVelaTask::onClientError("broken");
    EXPECT_EQ(NativeVelaTask::lastResultText(), "{}");
    EXPECT_EQ(NativeVelaTask::lastErrorText(), "broken");
    NativeVelaTask::clearClientState();
    EXPECT_FALSE(NativeVelaTask::lastResultText());
    EXPECT_FALSE(NativeVelaTask::lastErrorText());
}

TEST(NativeVelaTask, ParsedResultIsCopiedIntoTheTaskResult) {
    const char* text = R"({
      "rtt_tcp": {"relative_start_time_ns": 5, "duration_ns": 1000, "rtt_min_ns": 10, "rtt_max_ns": 30,
                  "rtt_avg_ns": 20, "rtt_med_ns": 19, "rtt_std_dev_ns": 4, "rtt_var_ns": 16,
                  "jitter_min_ns": 1, "jitter_max_ns": 9, "jitter_avg_ns": 5, "jitter_med_ns": 4,
                  "jitter_std_dev_ns": 2, "jitter_var_ns": 3, "num_sent": 3, "num_requested": 4,
                  "rtts": [{"time_ns": 100, "rtt_ns": 10}, {"time_ns": 200}, {"time_ns": 300, "rtt_ns": 30}],
                  "connection_stream_info": [
                     {"client": {"local_ip": "127.0.0.1", "local_port": 5000, "remote_ip": "127.0.0.1",
                                 "remote_port": 6142}},
                     {},
                     {"server": {"local_port": 6142}}]},
      "rtt_udp": {"duration_ns": 2000, "rtt_avg_ns": 40, "num_sent": 4, "packet_loss": 0.25, "num_lost": 1,
                  "num_out_of_order": 1,
                  "rtts": [{"time_ns": 1, "rtt_ns": 41, "l": false, "o": true, "i": 0},
                           {"time_ns": 2, "rtt_ns": 0, "l": true, "i": 1},
                           {"time_ns": 3, "l": true},
                           {"time_ns": 4, "rtt_ns": 39}],
                  "connection_stream_info": [{"client": {"local_port": 1}}]},
      "dl": {"relative_start_time_ns": 3000, "duration_ns": 10000, "pretest_duration_ns": 2000, "bytes": 5000,
             "bps": 4000,
             "raw_data": {"2": [{"time_ns": 250, "b": 100}, {"time_ns": 500}],
                          "10": [{"time_ns": 250, "b": 7}]},
             "connection_stream_info": [{"server": {"remote_ip": "10.0.0.1"}}]},
      "ul": {"duration_ns": 9000, "bytes": 800},
      "client_config": {"host": "ignored"}
    })";
    const auto parsed = SprintMeasurementResultReader(text);

    auto configuration = speedConfiguration("speed.example");
    configuration->port = 70000;
    configuration->use_tls = true;
    NativeVelaTask task;
    task.setConfiguration(configuration.get());
    VelaTaskResult result;
    result.connection.address = "stale";
    task.fillVelaTaskResult(&result, &parsed);

    EXPECT_EQ(result.result_type, "speed_result");
    EXPECT_EQ(result.connection.address, "speed.example");
    EXPECT_EQ(result.connection.encrypted, "1");
    EXPECT_EQ(result.connection.port, "70000");

    ASSERT_TRUE(result.tcp_statistics);
    const auto& tcp = *result.tcp_statistics;
    EXPECT_EQ(tcp.duration, "1000");
    EXPECT_EQ(tcp.rtt_avg, "20");
    EXPECT_EQ(tcp.rtt_max, "30");
    EXPECT_EQ(tcp.rtt_med, "19");
    EXPECT_EQ(tcp.rtt_min, "10");
    EXPECT_EQ(tcp.rtt_std_dev, "4");
    EXPECT_EQ(tcp.out_of_order_count, "");
    EXPECT_EQ(tcp.lost_count, "");
    EXPECT_EQ(tcp.received_count, "3");  // every entry of "rtts"
    EXPECT_EQ(tcp.num_sent, "3");
    EXPECT_EQ(tcp.packet_size, "");
    EXPECT_EQ(tcp.num_requested, 4u);
    EXPECT_EQ(tcp.rtt_var_ns, 16u);
    EXPECT_EQ(tcp.jitter_min_ns, 1u);
    EXPECT_EQ(tcp.jitter_var_ns, 3u);
    ASSERT_EQ(tcp.samples.size(), 2u);  // entries with both times only
    EXPECT_EQ(tcp.samples[1].time_ns, 300u);
    EXPECT_EQ(tcp.samples[1].rtt_ns, 30u);
    ASSERT_EQ(result.rtt_stream_info.size(), 2u);  // the entry with neither side is skipped
    EXPECT_EQ(result.rtt_stream_info[0].client->remote_port, 6142);
    EXPECT_FALSE(result.rtt_stream_info[1].client);
    EXPECT_EQ(result.rtt_stream_info[1].server->local_port, 6142);
    EXPECT_FALSE(result.rtt_stream_info[1].server->local_ip);

    ASSERT_TRUE(result.udp_statistics);
    const auto& udp = *result.udp_statistics;
    EXPECT_EQ(udp.duration, "2000");
    EXPECT_EQ(udp.rtt_avg, "40");
    EXPECT_EQ(udp.rtt_max, "");
    EXPECT_EQ(udp.num_sent, "4");
    EXPECT_EQ(udp.out_of_order_count, "1");
    EXPECT_EQ(udp.lost_count, "1");      // counted among the samples with both times
    EXPECT_EQ(udp.received_count, "2");
    EXPECT_FLOAT_EQ(udp.packet_loss, 0.25f);
    EXPECT_EQ(udp.num_lost, 1u);
    EXPECT_EQ(udp.num_out_of_order, 1u);
    ASSERT_EQ(udp.samples.size(), 3u);
    EXPECT_EQ(udp.samples[0].out_of_order, true);
    EXPECT_EQ(udp.samples[0].lost, false);
    EXPECT_EQ(udp.samples[0].number, 0u);
    EXPECT_EQ(udp.samples[1].lost, true);
    EXPECT_FALSE(udp.samples[2].lost);
    EXPECT_FALSE(udp.samples[2].number);
    EXPECT_TRUE(result.rtt_stream_info.size() == 2u);  // the UDP phase's stream info is not used

    ASSERT_EQ(result.download_summaries.size(), 1u);
    const auto& dl = result.download_summaries[0];
    EXPECT_EQ(dl.bytes, "5000");
    EXPECT_EQ(dl.bytes_including_slow_start, "");
    EXPECT_EQ(dl.duration, "10000");
    EXPECT_EQ(dl.duration_including_pretest, "12000");
    EXPECT_EQ(dl.requested_streams, "");
    EXPECT_EQ(dl.actual_streams, "");
    EXPECT_EQ(dl.relative_start_time, "3000");
    EXPECT_EQ(dl.bps, "4000");
    ASSERT_EQ(result.download_raw_data.size(), 2u);  // "10" sorts before "2"; the sample without bytes is left out
    EXPECT_EQ(result.download_raw_data[0].stream_id, 10);
    EXPECT_EQ(result.download_raw_data[0].bytes, "7");
    EXPECT_EQ(result.download_raw_data[1].stream_id, 2);
    EXPECT_EQ(result.download_raw_data[1].bytes, "100");
    EXPECT_EQ(result.download_raw_data[1].relative_time, "250");
    EXPECT_EQ(result.download_raw_data[1].bytes_including_slow_start, "");
    ASSERT_EQ(result.download_stream_info.size(), 1u);
    EXPECT_EQ(result.download_stream_info[0].server->remote_ip, "10.0.0.1");

    ASSERT_EQ(result.upload_summaries.size(), 1u);
    EXPECT_EQ(result.upload_summaries[0].bytes, "800");
    EXPECT_EQ(result.upload_summaries[0].duration_including_pretest, "");  // no pretest duration
    EXPECT_EQ(result.upload_summaries[0].relative_start_time, "");
    EXPECT_TRUE(result.upload_raw_data.empty());
    EXPECT_TRUE(result.upload_stream_info.empty());
    EXPECT_FALSE(result.total_traffic);  // the collector's part

    // Round-trip phases present without samples; phases absent.
    const auto sparse = SprintMeasurementResultReader(R"({"rtt_udp": {}, "dl": {}})");
    VelaTaskResult second;
    task.fillVelaTaskResult(&second, &sparse);
    ASSERT_TRUE(second.udp_statistics);
    EXPECT_EQ(second.udp_statistics->out_of_order_count, "0");
    EXPECT_EQ(second.udp_statistics->lost_count, "0");
    EXPECT_EQ(second.udp_statistics->received_count, "0");
    EXPECT_FALSE(second.tcp_statistics);
    ASSERT_EQ(second.download_summaries.size(), 1u);
    EXPECT_EQ(second.download_summaries[0].bytes, "");
    EXPECT_TRUE(second.upload_summaries.empty());
    EXPECT_EQ(second.connection.encrypted, "1");

    // Nothing happens without a result or a parsed result.
    task.fillVelaTaskResult(nullptr, &parsed);
    VelaTaskResult untouched;
    task.fillVelaTaskResult(&untouched, nullptr);
    EXPECT_EQ(untouched.connection.address, "");

    // A raw-data connection that is not numbered fails the copy.
    const auto badKey = SprintMeasurementResultReader(R"({"ul": {"raw_data": {"x": [{"time_ns": 1, "b": 2}]}}})");
    VelaTaskResult third;
    try {
        task.fillVelaTaskResult(&third, &badKey);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stoi argument");
    }

    // Another configuration kind.
    SprintCliTaskConfiguration sprint;
    NativeVelaTask wrongKind;
    wrongKind.setConfiguration(&sprint);
    VelaTaskResult fourth;
    EXPECT_THROW(wrongKind.fillVelaTaskResult(&fourth, &parsed), TaskException);
}

// Runs that fail before the client: the status and nothing else.
TEST(NativeVelaTask, WithoutItsConfigurationTheTaskFails) {
    ErrorLog errors;
    testing::internal::CaptureStdout();
    auto none = runTask(nullptr);
    SprintCliTaskConfiguration sprint;
    auto other = runTask(&sprint);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("TaskException No configuration provided"), std::string::npos) << out;
    EXPECT_NE(out.find("TaskException Configuration is not a vela task configuration"), std::string::npos) << out;
    EXPECT_EQ(none.status, TaskStatus::Error);
    ASSERT_NE(none.result, nullptr);
    EXPECT_EQ(none.result->status, "ERROR");
    EXPECT_EQ(none.result->result_type, "speed_result");
    EXPECT_EQ(other.status, TaskStatus::Error);
    EXPECT_EQ(sprint.qostest, "SPRINT");  // not renamed
    EXPECT_TRUE(errors.snapshot().empty());
}

// The rows of the failure table that the real client never produces, with a
// stand-in for its entry points; create failure and a failed run with a text
// come from the real client against the loopback server below and in the
// full measurement.
TEST(NativeVelaTask, FailureTableWithAStandInClient) {
    struct Case {
        const char* name;
        std::int32_t createCode;
        std::int32_t runCode;
        std::optional<std::string> resultText;
        std::optional<std::string> errorText;
        std::string exception;                    // the stdout line of the task frame
        std::optional<std::string> reportedError;  // through errorCallback, code 8
    };
    const Case cases[] = {
        {"create fails", -1, 0, std::nullopt, std::nullopt, "TaskException Error while creating sprint client",
         std::nullopt},
        {"run fails without an error text", 0, -1, std::nullopt, std::nullopt, "TaskException Error during measurement",
         "Other error during measurement"},
        {"run fails with an error text", 0, -1, std::nullopt, "connection refused",
         "TaskException Error during measurement", "connection refused"},
        {"error text while returning 0", 0, 0, "{}", "late failure", "TaskException Error during measurement",
         "late failure"},
        {"no result text", 0, 0, std::nullopt, std::nullopt, "TaskException Error: result json string has no value",
         std::nullopt},
        {"result not JSON", 0, 0, "not json", std::nullopt, "std::exception ", std::nullopt},
        {"result not an object", 0, 0, "[1,2]", std::nullopt, "std::exception not an object", std::nullopt},
        {"a result", 0, 0, R"({"dl": {"bytes": 42}})", std::nullopt, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> created{0};
        std::atomic<int> ran{0};
        std::atomic<int> released{0};
        mclient_config seen;
        std::memset(&seen, 0, sizeof seen);
        ClientStandIn standIn({
            [&](const mclient_config* record, std::uint32_t verbosity, mclient_handle* handle) {
                ++created;
                seen = *record;
                EXPECT_EQ(verbosity, 2u);
                EXPECT_EQ(*handle, nullptr);
                if (c.createCode == 0) *handle = fakeHandle();
                return c.createCode;
            },
            [&](mclient_handle handle, mclient_progress_fn progress, mclient_result_fn result,
                mclient_error_fn error) {
                ++ran;
                EXPECT_EQ(handle, fakeHandle());
                EXPECT_NE(progress, nullptr);
                if (c.resultText) result(c.resultText->c_str());
                if (c.errorText) error(c.errorText->c_str());
                return c.runCode;
            },
            [&](mclient_handle handle) {
                EXPECT_EQ(handle, fakeHandle());
                ++released;
            },
        });
        ErrorLog errors;
        auto configuration = speedConfiguration();
        configuration->qostest = "VELA";
        configuration->port = 70000;
        testing::internal::CaptureStdout();
        auto run = runTask(configuration.get());
        const std::string out = testing::internal::GetCapturedStdout();

        EXPECT_EQ(created.load(), 1);
        EXPECT_EQ(seen.port_tcp, 4464);
        EXPECT_EQ(ran.load(), c.createCode == 0 ? 1 : 0);
        EXPECT_EQ(released.load(), c.createCode == 0 ? 1 : 0);  // freed on every path after creation
        const bool fails = !c.exception.empty();
        EXPECT_EQ(run.status, fails ? TaskStatus::Error : TaskStatus::Ok);
        if (fails) {
            EXPECT_NE(out.find(c.exception), std::string::npos) << out;
        }
        const auto reported = errors.snapshot();
        if (c.reportedError) {
            ASSERT_EQ(reported.size(), 1u);
            EXPECT_EQ(reported[0].first, *c.reportedError);
            EXPECT_EQ(reported[0].second, 8);
        } else {
            EXPECT_TRUE(reported.empty());
        }
        // The runner still gets a result: common fields, and figures only
        // after a successful run.
        ASSERT_NE(run.result, nullptr);
        EXPECT_EQ(run.result->status, fails ? "ERROR" : "OK");
        EXPECT_EQ(run.result->objective_task_type, "NATIVE_VELA");
        EXPECT_EQ(run.result->test_type, "NATIVE_VELA");
        EXPECT_EQ(run.result->objective_concurrency_group, 0u);
        EXPECT_EQ(run.result->download_summaries.empty(), fails);
        EXPECT_EQ(run.result->connection.port, fails ? "" : "70000");
        if (!fails) {
            EXPECT_EQ(run.result->download_summaries[0].bytes, "42");
        }
        EXPECT_EQ(run.result->error_message, std::nullopt);
    }
}

// Two speed-test tasks of one group (as the planning makes them, group 50):
// the second body starts after the first has ended, and each result holds
// its own run's figures.
TEST(NativeVelaTask, SpeedTestBodiesRunOneAtATime) {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
    int maxInFlight = 0;
    int runs = 0;
    ClientStandIn standIn({
        [](const mclient_config*, std::uint32_t, mclient_handle* handle) {
            *handle = fakeHandle();
            return 0;
        },
        [&](mclient_handle, mclient_progress_fn, mclient_result_fn result, mclient_error_fn) {
            int number = 0;
            {
                std::unique_lock lock(mutex);
                number = ++runs;
                ++inFlight;
                maxInFlight = std::max(maxInFlight, inFlight);
                changed.notify_all();
                // Give a second body the chance to start now (bounded).
                changed.wait_for(lock, 500ms, [&] { return inFlight > 1; });
            }
            const std::string text = R"({"dl": {"bytes": )" + std::to_string(number) + "}}";
            result(text.c_str());
            std::lock_guard lock(mutex);
            --inFlight;
            changed.notify_all();
            return 0;
        },
        [](mclient_handle) {},
    });
    auto first = speedConfiguration();
    auto second = speedConfiguration();
    first->concurrency_group = second->concurrency_group = 50;
    std::vector<std::unique_ptr<BaseTask>> tasks;
    tasks.push_back(NativeVelaTask::create(first.get()));
    tasks.push_back(NativeVelaTask::create(second.get()));
    MeasurementExecutorSettings settings;
    TaskRunner runner;
    SysInfoCollector collector;
    runner.configure(&settings);
    runner.setTasks(std::move(tasks));
    const auto results = runner.run(collector);

    EXPECT_EQ(maxInFlight, 1);
    ASSERT_EQ(results.size(), 2u);
    std::set<std::string> bytes;
    for (const auto& r : results) {
        const auto* speed = dynamic_cast<const VelaTaskResult*>(r.get());
        ASSERT_NE(speed, nullptr);
        EXPECT_EQ(speed->status, "OK");
        ASSERT_EQ(speed->download_summaries.size(), 1u);
        bytes.insert(speed->download_summaries[0].bytes);
        // The collector wrote the interface traffic into both.
        EXPECT_TRUE(speed->total_traffic);
    }
    EXPECT_EQ(bytes, (std::set<std::string>{"1", "2"}));
}

// The real client against the loopback measurement server, shortened by the
// test seam: a complete run, a refused token and an unreachable server.
class NativeVelaTaskAgainstServer : public testing::Test {
protected:
    void SetUp() override {
        speed_server::Options options;
        options.secret_key = kSecret;
        server = std::make_unique<speed_server::SpeedServer>(options);
        server->start();
        if (!speedTestOverridesBuilt()) GTEST_SKIP() << "needs the test seams (LUMIVEX_TEST_SEAMS) to shorten the run";
        setSpeedTestOverridesForTesting(shortRun());
    }
    void TearDown() override { setSpeedTestOverridesForTesting(std::nullopt); }

    std::unique_ptr<VelaTaskConfiguration> configuration(std::string token) {
        auto c = speedConfiguration();
        c->port = 65536 + server->tcp_port();  // only the low 16 bits reach the client
        c->udpPort = server->udp_port();
        c->use_tls = false;
        c->authToken = std::move(token);
        return c;
    }

    std::unique_ptr<speed_server::SpeedServer> server;
};

TEST_F(NativeVelaTaskAgainstServer, ACompleteSpeedTest) {
    IntermediateLog progress;
    ErrorLog errors;
    auto c = configuration(validToken());
    c->rttPhase = false;  // pretest, download, upload pretest, upload
    auto run = runTask(c.get());
    ASSERT_EQ(run.status, TaskStatus::Ok) << NativeVelaTask::lastErrorText().value_or("");
    EXPECT_TRUE(errors.snapshot().empty());
    const auto& r = *run.result;
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.connection.port, std::to_string(65536 + server->tcp_port()));
    EXPECT_EQ(r.connection.encrypted, "0");
    EXPECT_FALSE(r.tcp_statistics);
    EXPECT_FALSE(r.udp_statistics);
    ASSERT_EQ(r.download_summaries.size(), 1u);
    ASSERT_EQ(r.upload_summaries.size(), 1u);
    EXPECT_GT(std::stoull(r.download_summaries[0].bytes), 0u);
    EXPECT_GT(std::stoull(r.upload_summaries[0].bytes), 0u);
    EXPECT_FALSE(r.download_raw_data.empty());
    EXPECT_FALSE(r.upload_raw_data.empty());
    for (const auto& item : r.download_raw_data) {
        EXPECT_GE(item.stream_id, 0);
        EXPECT_LT(item.stream_id, 8);
    }
    const auto stats = server->stats();
    EXPECT_EQ(stats.tokens_rejected, 0u);
    EXPECT_GT(stats.downlink_bytes, 0u);
    EXPECT_GT(stats.uplink_bytes, 0u);

    const auto records = progress.snapshot();
    ASSERT_FALSE(records.empty());
    bool sawDownload = false;
    for (const auto& record : records) {
        EXPECT_NE(record.currentPhase, "rtt");
        sawDownload |= record.currentPhase == "download";
    }
    EXPECT_TRUE(sawDownload);
}

TEST_F(NativeVelaTaskAgainstServer, RefusedTokenAndUnreachableServer) {
    struct Case {
        const char* name;
        std::function<std::unique_ptr<VelaTaskConfiguration>()> make;
        std::string errorContains;
    };
    const std::uint16_t closedPort = speed_test_support::closedSpeedServerPort();
    const Case cases[] = {
        {"token made with another key", [&] { return configuration(validToken("another key")); }, "invalid token"},
        {"token text that is no token", [&] { return configuration("not a token"); }, "token contains invalid UUID"},
        // An empty text reaches the client (a null token would have let it
        // build one of its own).
        {"empty token", [&] { return configuration(""); }, "token contains invalid UUID"},
        {"nobody listening",
         [&] {
             auto c = configuration(validToken());
             c->port = closedPort;
             return c;
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ErrorLog errors;
        auto configurationOfCase = c.make();
        const auto start = std::chrono::steady_clock::now();
        auto run = runTask(configurationOfCase.get());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_EQ(run.status, TaskStatus::Error);
        const auto reported = errors.snapshot();
        ASSERT_EQ(reported.size(), 1u);
        EXPECT_FALSE(reported[0].first.empty());
        EXPECT_NE(reported[0].first.find(c.errorContains), std::string::npos) << reported[0].first;
        EXPECT_EQ(reported[0].second, 8);
        // The text stays in the process-wide state until the next run.
        EXPECT_EQ(NativeVelaTask::lastErrorText(), reported[0].first);
        ASSERT_NE(run.result, nullptr);
        EXPECT_EQ(run.result->status, "ERROR");
        EXPECT_TRUE(run.result->download_summaries.empty());
        EXPECT_EQ(run.result->connection.address, "");
    }
}

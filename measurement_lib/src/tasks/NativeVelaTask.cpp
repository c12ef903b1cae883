#include "tasks/NativeVelaTask.h"

#include "helper/ConsoleOutput.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/SprintMeasurementResult.h"
#include "model/result/VelaTaskResult.h"
#include "tasks/MeasurementCallbacks.h"
#include "tasks/SpeedTestOverrides.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

namespace trevask::measurement_library {

namespace {

// The run's texts and the figures carried from one progress report to the
// next. The client's callbacks reach it without a context pointer.
struct ClientState {
    std::mutex mutex;
    std::optional<std::string> resultText;
    std::optional<std::string> errorText;
    std::optional<std::uint64_t> rttNs;
    std::optional<std::uint64_t> downloadBps;
    std::optional<std::uint64_t> uploadBps;
};

ClientState& clientState() {
    static ClientState state;
    return state;
}

// Held for a whole speed-test body: the state above serves one run at a time.
std::mutex& speedTestBodyMutex() {
    static std::mutex mutex;
    return mutex;
}

std::mutex& clientFunctionsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::optional<SpeedTestClientFunctions>& testClientFunctions() {
    static std::optional<SpeedTestClientFunctions> functions;
    return functions;
}

SpeedTestClientFunctions clientFunctions() {
    {
        std::lock_guard lock(clientFunctionsMutex());
        if (testClientFunctions()) return *testClientFunctions();
    }
    return {&mclient_create, &mclient_run, &mclient_free};
}

// Bits per second as the client reports them, as a whole number; a value
// that is not a finite non-negative number counts as 0.
std::uint64_t wholeBps(double bps) {
    if (!std::isfinite(bps) || bps <= 0.0) return 0;
    if (bps >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(bps);
}

float halved(float x, double offset) { return static_cast<float>(static_cast<double>(x) * 0.5 + offset); }

template <typename Sample>
void fillRoundTrip(VelaRttStatistics& statistics, const SprintRttResultBase<Sample>& phase) {
    auto text = [](std::string& target, const std::optional<std::uint64_t>& value) {
        if (value) target = std::to_string(*value);
    };
    text(statistics.duration, phase.duration_ns);
    text(statistics.rtt_avg, phase.rtt_avg_ns);
    text(statistics.rtt_max, phase.rtt_max_ns);
    text(statistics.rtt_med, phase.rtt_med_ns);
    text(statistics.rtt_min, phase.rtt_min_ns);
    text(statistics.rtt_std_dev, phase.rtt_std_dev_ns);
    if (phase.num_sent) statistics.num_sent = std::to_string(*phase.num_sent);
    statistics.num_requested = phase.num_requested;
    statistics.rtt_min_ns = phase.rtt_min_ns;
    statistics.rtt_max_ns = phase.rtt_max_ns;
    statistics.rtt_avg_ns = phase.rtt_avg_ns;
    statistics.rtt_med_ns = phase.rtt_med_ns;
    statistics.rtt_std_dev_ns = phase.rtt_std_dev_ns;
    statistics.rtt_var_ns = phase.rtt_var_ns;
    statistics.jitter_min_ns = phase.jitter_min_ns;
    statistics.jitter_max_ns = phase.jitter_max_ns;
    statistics.jitter_avg_ns = phase.jitter_avg_ns;
    statistics.jitter_med_ns = phase.jitter_med_ns;
    statistics.jitter_std_dev_ns = phase.jitter_std_dev_ns;
    statistics.jitter_var_ns = phase.jitter_var_ns;
}

// Entries with a client or a server side; entries with neither are skipped.
void appendStreamInfo(std::vector<SprintConnectionStreamInfo>& target,
                      const std::optional<std::vector<SprintConnectionStreamInfo>>& entries) {
    if (!entries) return;
    for (const auto& entry : *entries) {
        if (entry.client || entry.server) target.push_back(entry);
    }
}

void fillPhase(std::vector<VelaThroughputSummary>& summaries, std::vector<ThroughputStreamInfo>& rawData,
               std::vector<SprintConnectionStreamInfo>& streamInfo, const SprintThroughputResult& phase) {
    VelaThroughputSummary summary;
    if (phase.bytes) summary.bytes = std::to_string(*phase.bytes);
    if (phase.duration_ns) summary.duration = std::to_string(*phase.duration_ns);
    if (phase.pretest_duration_ns && phase.duration_ns) {
        summary.duration_including_pretest = std::to_string(*phase.pretest_duration_ns + *phase.duration_ns);
    }
    if (phase.relative_start_time_ns) summary.relative_start_time = std::to_string(*phase.relative_start_time_ns);
    if (phase.bps) summary.bps = std::to_string(*phase.bps);
    summaries.push_back(std::move(summary));

    if (phase.raw_data) {
        // The map's order is the byte-wise order of the keys ("10" before "2").
        for (const auto& [key, samples] : *phase.raw_data) {
            for (const auto& sample : samples) {
                if (!sample.time_ns || !sample.b) continue;
                ThroughputStreamInfo item;
                item.bytes = std::to_string(*sample.b);
                item.relative_time = std::to_string(*sample.time_ns);
                item.stream_id = parseStoi(key);
                rawData.push_back(std::move(item));
            }
        }
    }
    appendStreamInfo(streamInfo, phase.connection_stream_info);
}

}  // namespace

Poco::Logger& NativeVelaTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("NativeVelaTask");
    return instance;
}

NativeVelaTask::NativeVelaTask() : BaseTask(kTaskName) {}

bool NativeVelaTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<VelaTaskConfiguration*>(configuration) != nullptr;
}

std::unique_ptr<BaseTask> NativeVelaTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<NativeVelaTask>();
    task->setConfiguration(configuration);
    return task;
}

mclient_config NativeVelaTask::clientConfiguration(const VelaTaskConfiguration& c,
                                                   const SpeedTestOverrides* overrides) {
    mclient_config record;
    std::memset(&record, 0, sizeof record);
    record.host = c.host.c_str();
    record.port_tcp = static_cast<std::uint16_t>(static_cast<std::uint32_t>(c.port) & 0xFFFFu);
    record.port_udp = static_cast<std::uint16_t>(static_cast<std::uint32_t>(c.udpPort) & 0xFFFFu);
    record.tls = c.use_tls ? 1 : 0;
    record.skip_certificate_validation = 1;
    record.progress_update_limit_ms = 200;
    record.raw_history_sampling_rate_ms = 250;
    record.run_rtt_tcp_phase = c.rttPhase ? 1 : 0;
    record.run_rtt_udp_phase = c.rttPhase ? 1 : 0;
    record.skip_dl_pretest = 0;
    record.run_downlink_phase = c.downloadPhase ? 1 : 0;
    record.skip_ul_pretest = 0;
    record.run_uplink_phase = c.uploadPhase ? 1 : 0;
    record.rtt_tcp_payload_size = 5;
    record.rtt_tcp_num_packets = 10;
    record.rtt_tcp_delay_ms = 10;
    record.rtt_tcp_timeout_s = 10;
    record.rtt_udp_payload_size = 32;
    record.rtt_udp_num_packets = 500;
    record.rtt_udp_delay_ms = 10;
    record.rtt_udp_timeout_s = 10;
    record.dl_pretest_duration_s = 2;
    record.dl_duration_s = 10;
    record.dl_slow_start_duration_s = 3;
    record.dl_num_connections = 4;
    record.ul_pretest_duration_s = 2;
    record.ul_duration_s = 10;
    record.ul_slow_start_duration_s = 3;
    record.ul_num_connections = 4;
    // Never null: a configuration without a token passes an empty text.
    record.token = c.authToken.c_str();
    record.secret_key = nullptr;
    record.ipv4_only = 0;
    record.ipv6_only = 0;
    if (overrides != nullptr) overrides->applyTo(record);
    return record;
}

void NativeVelaTask::clearClientState() {
    auto& state = clientState();
    std::lock_guard lock(state.mutex);
    state.resultText.reset();
    state.errorText.reset();
    state.rttNs.reset();
    state.downloadBps.reset();
    state.uploadBps.reset();
}

std::optional<std::string> NativeVelaTask::lastResultText() {
    auto& state = clientState();
    std::lock_guard lock(state.mutex);
    return state.resultText;
}

std::optional<std::string> NativeVelaTask::lastErrorText() {
    auto& state = clientState();
    std::lock_guard lock(state.mutex);
    return state.errorText;
}

void NativeVelaTask::setClientFunctionsForTesting(std::optional<SpeedTestClientFunctions> functions) {
    std::lock_guard lock(clientFunctionsMutex());
    testClientFunctions() = std::move(functions);
}

void NativeVelaTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* speed = dynamic_cast<VelaTaskConfiguration*>(configuration);
    if (speed == nullptr) throw TaskException("Configuration is not a vela task configuration");

    // Whatever the control document called the task, its results say this.
    speed->qostest = kTaskName;

    // One speed test at a time: a second speed-test task of the run waits.
    std::lock_guard body(speedTestBodyMutex());

    logger().information("Running native speed test");
    logger().information("with: %s %d", speed->host, static_cast<int>(speed->port));

    const auto overrides = currentSpeedTestOverrides();
    const mclient_config record = clientConfiguration(*speed, overrides ? &*overrides : nullptr);
    logger().information("Initialising the speed-test client");

    clearClientState();
    const SpeedTestClientFunctions client = clientFunctions();

    mclient_handle handle = nullptr;
    if (client.create(&record, kClientVerbosity, &handle) != 0) {
        throw TaskException("Error while creating sprint client");
    }

    logger().information("Starting the speed test");
    const std::int32_t code = client.run(handle, &onClientProgress, &onClientResult, &onClientError);
    auto& state = clientState();
    if (code != 0) {
        logger().information("The speed test ended with code %d", static_cast<int>(code));
        std::lock_guard lock(state.mutex);
        if (!state.errorText) state.errorText = "Other error during measurement";
    }
    if (handle != nullptr) client.release(handle);
    handle = nullptr;
    logger().information("The speed test has ended");

    std::optional<std::string> errorText;
    std::optional<std::string> resultText;
    {
        std::lock_guard lock(state.mutex);
        errorText = state.errorText;
        resultText = state.resultText;
    }
    // An error text fails the run even when the client returned 0.
    if (errorText) {
        logger().information("error string has value %s", *errorText);
        if (auto report = vela::errorCallback.get()) {
            report(std::make_shared<vela::ErrorCallback>(*errorText, kClientErrorCode));
        }
        throw TaskException("Error during measurement");
    }
    if (!resultText) throw TaskException("Error: result json string has no value");

    logger().information("Parsing the speed-test result");
    printLine("in try");
    // A text that is not JSON, or not an object, leaves as the reader's
    // exception; the parsed result of an earlier run is then kept.
    parsedResult = std::make_shared<SprintMeasurementResult>(SprintMeasurementResultReader(*resultText));
    printLine("end of try");
    logger().information("The speed-test result is parsed");
}

std::unique_ptr<TaskResult> NativeVelaTask::createResult() {
    auto result = std::make_unique<VelaTaskResult>();
    fillResult(result.get());
    fillVelaTaskResult(result.get(), parsedResult.get());
    return result;
}

void NativeVelaTask::fillVelaTaskResult(VelaTaskResult* result, const SprintMeasurementResult* parsed) const {
    if (result == nullptr || parsed == nullptr) return;
    const auto* speed = dynamic_cast<const VelaTaskConfiguration*>(configuration);
    if (speed == nullptr) throw TaskException("Configuration is not a vela task configuration");

    result->connection = VelaConnectionInfo{};
    result->connection.address = speed->host;
    result->connection.encrypted = speed->use_tls ? "1" : "0";
    result->connection.port = std::to_string(speed->port);

    if (parsed->rtt_tcp) {
        const auto& phase = *parsed->rtt_tcp;
        VelaRttStatistics statistics;
        fillRoundTrip(statistics, phase);
        if (phase.rtts) {
            statistics.received_count = std::to_string(phase.rtts->size());
            for (const auto& sample : *phase.rtts) {
                if (!sample.time_ns || !sample.rtt_ns) continue;
                VelaRttSample item;
                item.time_ns = *sample.time_ns;
                item.rtt_ns = *sample.rtt_ns;
                statistics.samples.push_back(item);
            }
        }
        result->tcp_statistics = std::move(statistics);
        appendStreamInfo(result->rtt_stream_info, phase.connection_stream_info);
    }

    if (parsed->rtt_udp) {
        const auto& phase = *parsed->rtt_udp;
        VelaRttStatistics statistics;
        fillRoundTrip(statistics, phase);
        statistics.packet_loss = phase.packet_loss.value_or(0.0f);
        statistics.num_lost = phase.num_lost.value_or(0);
        statistics.num_out_of_order = phase.num_out_of_order.value_or(0);
        std::uint64_t lost = 0;
        std::uint64_t received = 0;
        std::uint64_t outOfOrder = 0;
        if (phase.rtts) {
            for (const auto& sample : *phase.rtts) {
                if (!sample.time_ns || !sample.rtt_ns) continue;
                statistics.samples.push_back({*sample.time_ns, *sample.rtt_ns, sample.l, sample.o, sample.i});
                if (sample.l && *sample.l)
                    ++lost;
                else
                    ++received;
                if (sample.o && *sample.o) ++outOfOrder;
            }
        }
        statistics.out_of_order_count = std::to_string(outOfOrder);
        statistics.lost_count = std::to_string(lost);
        statistics.received_count = std::to_string(received);
        result->udp_statistics = std::move(statistics);
    }

    if (parsed->dl) {
        fillPhase(result->download_summaries, result->download_raw_data, result->download_stream_info, *parsed->dl);
    }
    if (parsed->ul) {
        fillPhase(result->upload_summaries, result->upload_raw_data, result->upload_stream_info, *parsed->ul);
    }
}

void NativeVelaTask::onClientProgress(const mclient_progress* progress) {
    if (progress == nullptr || !vela::intermediateMeasurementCallback) return;

    vela::IntermediateMeasurementCallback record;
    record.currentPhase = "init";
    record.currentPhaseNum = 0;
    record.numPhases = 4;
    record.isPretest = false;
    record.phaseProgress = progress->phase_progress / 100.0f;
    record.totalProgress = progress->total_progress / 100.0f;

    auto& state = clientState();
    std::optional<std::uint64_t> rtt;
    std::optional<std::uint64_t> download;
    std::optional<std::uint64_t> upload;
    {
        std::lock_guard lock(state.mutex);
        switch (progress->phase) {
            case 1:  // download pretest
                record.isPretest = true;
                break;
            case 2:  // TCP round trip
                record.currentPhase = "rtt";
                record.currentPhaseNum = 1;
                record.phaseProgress = halved(record.phaseProgress, 0.0);
                if (progress->rtt_ns != 0) state.rttNs = progress->rtt_ns;
                break;
            case 3:  // UDP round trip
                record.currentPhase = "rtt";
                record.currentPhaseNum = 1;
                record.phaseProgress = halved(record.phaseProgress, 0.5);
                break;
            case 4:  // download
                record.currentPhase = "download";
                record.currentPhaseNum = 2;
                state.downloadBps = wholeBps(progress->download_bps);
                break;
            case 5:  // upload pretest
                record.currentPhase = "upload";
                record.currentPhaseNum = 3;
                record.phaseProgress = halved(record.phaseProgress, 0.0);
                record.isPretest = true;
                break;
            case 6:  // upload
                record.currentPhase = "upload";
                record.currentPhaseNum = 3;
                record.phaseProgress = halved(record.phaseProgress, 0.5);
                state.uploadBps = wholeBps(progress->upload_bps);
                break;
            default:
                break;
        }
        rtt = state.rttNs;
        download = state.downloadBps;
        upload = state.uploadBps;
    }
    // Figures stored by earlier reports go into every later record.
    if (rtt) {
        record.rttNanoseconds = static_cast<double>(*rtt);
        record.rttAverageMilliseconds = static_cast<double>(*rtt) / 1000000.0;
    }
    if (download) {
        record.downloadBps = static_cast<double>(*download);
        record.downloadAverageMbps = static_cast<double>(*download) / 1000000.0;
    }
    if (upload) {
        record.uploadBps = static_cast<double>(*upload);
        record.uploadAverageMbps = static_cast<double>(*upload) / 1000000.0;
    }
    if (auto report = vela::intermediateMeasurementCallback.get()) report(record);
}

void NativeVelaTask::onClientResult(const char* resultJson) {
    if (resultJson == nullptr) return;
    auto& state = clientState();
    std::lock_guard lock(state.mutex);
    state.resultText = std::string(resultJson);
}

void NativeVelaTask::onClientError(const char* errorText) {
    if (errorText == nullptr) return;
    auto& state = clientState();
    std::lock_guard lock(state.mutex);
    state.errorText = std::string(errorText);
}

}  // namespace trevask::measurement_library

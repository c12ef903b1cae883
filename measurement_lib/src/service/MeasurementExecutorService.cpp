#include "service/MeasurementExecutorService.h"

#include "TaskRunner.h"
#include "helper/BasicAuthProvider.h"
#include "helper/CommandLineHelper.h"
#include "helper/FileHelper.h"
#include "helper/LoggerConfigurationHelper.h"
#include "helper/SentryHelper.h"
#include "helper/UuidVerificationHelper.h"
#include "helper/SysInfoCollector.h"
#include "helper/system/WindowsSystemHelper.h"
#include "model/AgentApiResponses.h"
#include "model/JsonMorpher.h"
#include "model/LmapControlDto.h"
#include "model/LmapReportDto.h"
#include "model/MeasurementTypeParameters.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/TaskResult.h"
#include "service/HttpConnectionService.h"
#include "service/MeasurementExecutorSettings.h"
#include "model/RegistrationRequest.h"
#include "service/RequestCreationService.h"
#include "service/UndeliveredReports.h"
#include "tasks/BaseTask.h"
#include "tasks/MeasurementCallbacks.h"

#include <Poco/Logger.h>
#include <Poco/Net/HTTPBasicCredentials.h>
#include <Poco/Net/Net.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace trevask::measurement_library {

namespace {

constexpr std::uint32_t kQosGroupOffset = 200;
constexpr std::uint32_t kSpeedGroup = 50;
constexpr const char* kSpeedTimeout = "120000000000";
constexpr const char* kCollectorOption = "result_collector_base_url";

// Finishes a crash-reporter transaction on every way out.
class TransactionScope {
public:
    explicit TransactionScope(const std::string& method)
        : transaction_(SentryHelper::startTransaction("MeasurementExecutorService::" + method, method)) {}
    ~TransactionScope() { finish(); }
    void finish() {
        if (finished_) return;
        finished_ = true;
        SentryHelper::finishTransaction(transaction_);
    }
    SentryTransaction get() const { return transaction_; }

private:
    SentryTransaction transaction_;
    bool finished_ = false;
};

// A child span of a run's transaction, finished when its step ends.
class SpanScope {
public:
    SpanScope(const TransactionScope& transaction, const std::string& operation, const std::string& description = "")
        : span_(SentryHelper::startSpan(transaction.get(), operation, description)) {}
    ~SpanScope() { SentryHelper::finishSpan(span_); }
    SentrySpan get() const { return span_; }

private:
    SentrySpan span_;
};

// The run that is current, if any. Reserved under the lock before anything
// else happens, so two concurrent calls cannot both start a run.
std::mutex& runMutex() {
    static std::mutex mutex;
    return mutex;
}
std::unique_ptr<TaskRunner>& currentRunner() {
    static std::unique_ptr<TaskRunner> runner;
    return runner;
}
bool runReserved = false;
std::thread::id reservedBy;

// A reservation taken on a thread that already holds one (a full
// measurement reserves before it fetches anything, then runs) is granted
// and leaves the release to the outer one.
class RunReservation {
public:
    RunReservation() {
        std::lock_guard lock(runMutex());
        if (runReserved && reservedBy == std::this_thread::get_id()) {
            acquired_ = true;
            nested_ = true;
            return;
        }
        if (runReserved || currentRunner()) return;
        runReserved = true;
        reservedBy = std::this_thread::get_id();
        acquired_ = true;
    }
    ~RunReservation() {
        if (!acquired_ || nested_) return;
        std::unique_ptr<TaskRunner> runner;
        {
            std::lock_guard lock(runMutex());
            runner = std::move(currentRunner());
            runReserved = false;
            reservedBy = std::thread::id();
        }
        // The runner (and its tasks) ends outside the lock.
    }
    bool acquired() const { return acquired_; }
    void install(std::unique_ptr<TaskRunner> runner) {
        std::lock_guard lock(runMutex());
        currentRunner() = std::move(runner);
    }
    TaskRunner* runner() {
        std::lock_guard lock(runMutex());
        return currentRunner().get();
    }
    void clearRunner() {
        std::unique_ptr<TaskRunner> runner;
        {
            std::lock_guard lock(runMutex());
            runner = std::move(currentRunner());
        }
    }

private:
    bool acquired_ = false;
    bool nested_ = false;
};

// Adds a failed step to what the caller is told.
void noteFailure(MeasurementExecutorSettings& settings, const std::string& failure) {
    if (failure.empty()) return;
    if (!settings.failure.empty()) settings.failure += "; ";
    settings.failure += failure;
}

std::int64_t nanosecondsSinceEpoch(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The first option of the list named `name` with a non-empty value.
const LmapOptionDto* collectorOption(const std::vector<LmapOptionDto>& options) {
    for (const auto& option : options) {
        if (option.name == kCollectorOption && !option.value.empty()) return &option;
    }
    return nullptr;
}

std::string firstNonEmpty(std::initializer_list<const std::optional<std::string>*> candidates) {
    for (const auto* candidate : candidates) {
        if (*candidate && !(*candidate)->empty()) return **candidate;
    }
    return std::string();
}

// A report the collector did not accept is kept, never lost.
void keepUndeliveredReport(MeasurementExecutorSettings& settings, const std::string& report,
                           const std::string& reason) {
    noteFailure(settings, "the report was not accepted by the collector: " +
                              (reason.empty() ? std::string("no answer") : reason));
    std::string error;
    if (auto path = UndeliveredReports::keep(report, &error)) {
        settings.keptReportPath = *path;
        MeasurementExecutorService::logger().warning("The undelivered report was kept in %s", *path);
        noteFailure(settings, "the report was kept in " + *path);
    } else {
        MeasurementExecutorService::logger().error("The undelivered report could not be kept: %s", error);
        noteFailure(settings, "the report could not be kept: " + error);
    }
}

}  // namespace

MeasurementExecutorService& MeasurementExecutorService::getInstance(MeasurementExecutorSettings* settings) {
    static MeasurementExecutorService instance;
    if (settings != nullptr) instance.configure(settings);
    return instance;
}

Poco::Logger& MeasurementExecutorService::logger() {
    static Poco::Logger& instance = Poco::Logger::get("MeasurementExecutorService");
    return instance;
}

bool MeasurementExecutorService::isRunning() {
    std::lock_guard lock(runMutex());
    return runReserved || currentRunner() != nullptr;
}

const TaskFactoryTable& MeasurementExecutorService::buildTaskFactories() { return taskFactories(); }

void MeasurementExecutorService::configure(MeasurementExecutorSettings* newSettings) {
    TransactionScope transaction("configure");
    settings = newSettings;
    if (settings == nullptr) return;

    CommandLineHelper::setEnvironment(settings->environment);
    LoggerConfigurationHelper::initializeLogger(settings);

    auto& connection = HttpConnectionService::getInstance();
    auto& creator = RequestCreationService::getInstance();

    std::unique_ptr<Poco::Net::HTTPBasicCredentials> credentials;
    if (settings->useBoardIdAuth) credentials = BoardIdBasicAuthProvider().getCredentials();

    if (!settings->agentUuidFile.empty() && settings->agentUuid.empty()) {
        settings->agentUuid = FileHelper::readFile(settings->agentUuidFile);
        SentryHelper::setAgentUuid(settings->agentUuid, std::nullopt);
        logger().information("read agentUuid (%s) from file", settings->agentUuid);
    }

    const bool hasCredentials = credentials != nullptr;
    connection.configure(settings->controllerUrl, settings->collectorUrl, std::move(credentials));
    logger().information(
        "Configuring connector inside MeasurementExecutorService with controllerUrl: %s, collectorUrl: %s, has "
        "credentials: %b",
        settings->controllerUrl, settings->collectorUrl, hasCredentials);
    logger().information("Configuring kreator inside MeasurementExecutorService with agentUuid: %s",
                         settings->agentUuid);
    creator.setAgentUuid(settings->agentUuid.empty() ? std::nullopt : std::optional<std::string>(settings->agentUuid),
                         std::nullopt);
    startParameters = settings->startParameters;
}

std::unique_ptr<MeasurementResultResponse> MeasurementExecutorService::executeFullMeasurement(
    MeasurementExecutorSettings* runSettings, bool reconfigure, bool forceReload, bool useController) {
    TransactionScope transaction("executeFullMeasurement");
    // A second measurement is refused before it changes the connection or
    // fetches anything under the running one's feet.
    RunReservation reservation;
    if (!reservation.acquired()) {
        logger().error("Cannot run new measurement because there is a measurement running already.");
        if (runSettings != nullptr) noteFailure(*runSettings, "a measurement is running already");
        return nullptr;
    }
    if (reconfigure) configure(runSettings);

    if (runSettings != nullptr && (!runSettings->lmapControlDto || forceReload)) {
        loadLmapControlDto(runSettings, useController, forceReload);
    }
    if (runSettings == nullptr || !runSettings->lmapControlDto) {
        transaction.finish();
        throw std::runtime_error("No lmap control dto loaded. Refusing measurement execution");
    }

    std::vector<TaskConfiguration*> configurations = parseIntoTaskConfiguration(runSettings->lmapControlDto.get());
    if (configurations.empty()) {
        transaction.finish();
        throw std::runtime_error("No valid tasks found. No measurements executed");
    }
    return executeMeasurements(runSettings, configurations, runSettings->collectorUrl, std::string());
}

void MeasurementExecutorService::loadLmapControlDto(MeasurementExecutorSettings* runSettings, bool useController,
                                                    bool forceReload) {
    TransactionScope transaction("loadLmapControlDto");
    if (runSettings == nullptr) return;
    auto& connection = HttpConnectionService::getInstance();
    auto& creator = RequestCreationService::getInstance();

    // 1. A control document from a file.
    if (!runSettings->lmapControlFile.empty()) {
        try {
            if (!runSettings->lmapControlDto) runSettings->lmapControlDto = std::make_shared<LmapControlDto>();
            logger().information("Fetching lmapControlDto from path: %s", runSettings->lmapControlFile);
            const std::string text = FileHelper::readFile(runSettings->lmapControlFile);
            runSettings->lmapControlDto = LmapControlDtoParser(text);
            if (!useController) return;
        } catch (const std::exception& e) {
            logger().error("Error during file read: %s", std::string(e.what()));
            SentryHelper::captureException(e, "");
        }
    }

    // 2. The given agent UUID must be known to the controller.
    if (runSettings->verifyAgentUuid && !runSettings->agentUuid.empty()) {
        auto& verification = UuidVerificationHelper::getInstance();
        if (!verification.verifyAgentUuid(runSettings->agentUuid)) {
            const std::string fresh = verification.requestNewAgentUuid();
            if (verification.storeAgentUuid(fresh, *runSettings, "") || !fresh.empty()) {
                // The control request that follows must carry the new identity.
                creator.setAgentUuid(runSettings->agentUuid, std::nullopt);
            }
        }
    }

    // 3. Registration of an agent without a UUID.
    if (useController && !runSettings->controllerUrl.empty() && runSettings->agentUuid.empty()) {
        logger().information("Fetching information from controller (registering agent)");
        std::unique_ptr<RegistrationRequest> request = creator.createRegistrationRequest();
        auto answer = connection.doRequest<RegistrationResponse>(
            connection.endpointUrl(HttpConnectionService::MEASUREMENT_AGENTS), "POST", request.get(),
            runSettings->controllerTimeoutMs);
        request.reset();
        if (!answer) noteFailure(*runSettings, "registration failed: " + connection.lastFailure());
        if (answer) {
            runSettings->agentUuid = answer->agent_uuid;
            if (answer->settings.urls.collector_service) {
                runSettings->collectorUrl = *answer->settings.urls.collector_service;
            }
            creator.setAgentUuid(
                runSettings->agentUuid.empty() ? std::nullopt : std::optional<std::string>(runSettings->agentUuid),
                std::nullopt);
            UuidVerificationHelper::getInstance().storeAgentUuid(runSettings->agentUuid, *runSettings, "");
        }
    }

    // 4. The control document from the controller.
    const auto& current = runSettings->lmapControlDto;
    if (!runSettings->controllerUrl.empty() && (forceReload || !current || current->tasks.empty())) {
        logger().information("Fetching lmapControlDto from controller");
        std::unique_ptr<LmapControlDto> request = creator.createLmapControlDto(runSettings);
        std::unique_ptr<LmapControlDto> answer = connection.doRequest<LmapControlDto>(
            connection.endpointUrl(HttpConnectionService::MEASUREMENTS), "POST", request.get(),
            runSettings->controllerTimeoutMs);
        if (!answer) noteFailure(*runSettings, "control document not received: " + connection.lastFailure());
        runSettings->lmapControlDto = std::move(answer);
    }

    LmapControlDto* document = runSettings->lmapControlDto.get();
    if (document == nullptr) {
        logger().warning("Obtained lmap control dto is nullptr");
        return;
    }

    // 5. The collector named by the document: actions first (the last wins),
    // task options only when none named one.
    std::string collector = connection.getCollectorUrl();
    for (const auto& schedule : document->schedules) {
        for (const auto& action : schedule.action) {
            if (const LmapOptionDto* option = collectorOption(action.option)) collector = option->value;
        }
    }
    if (collector.empty()) {
        for (const auto& task : document->tasks) {
            if (const LmapOptionDto* option = collectorOption(task.option)) collector = option->value;
        }
    }
    connection.setCollectorUrl(collector);
    runSettings->collectorUrl = collector;

    // 6. A certified measurement takes the document's UUID.
    if (runSettings->startParameters && runSettings->startParameters->certifiedMeasurementUuid &&
        document->additional_request_info.certified_measurement_uuid) {
        runSettings->startParameters->certifiedMeasurementUuid =
            document->additional_request_info.certified_measurement_uuid;
    }
}

void sortTaskConfigurations(std::vector<TaskConfiguration*>& configurations) {
    std::stable_sort(configurations.begin(), configurations.end(),
                     [](const TaskConfiguration* a, const TaskConfiguration* b) {
                         return a->concurrency_group < b->concurrency_group;
                     });
}

std::vector<TaskConfiguration*> MeasurementExecutorService::parseIntoTaskConfiguration(LmapControlDto* document) {
    TransactionScope transaction("parseIntoTaskConfiguration");
    std::vector<TaskConfiguration*> list;
    if (document == nullptr) return list;
    const StartMeasurementParameters* start = startParameters.get();
    std::uint32_t programCounter = 0;

    try {
        for (auto& task : document->tasks) {
            if (task.name == "QOS") {
                if (start != nullptr && !start->performQos) continue;
                QoSMeasurementTypeParameters* qos = nullptr;
                for (auto& option : task.option) {
                    qos = dynamic_cast<QoSMeasurementTypeParameters*>(option.measurement_parameters.get());
                    if (qos != nullptr) break;
                }
                if (qos == nullptr) continue;
                for (const auto& option : task.option) {
                    if (!option.measurement_parameters) qos->options.emplace(option.name, option.value);
                }
                auto valueOr = [&](const char* name, const char* fallback) {
                    auto it = qos->options.find(name);
                    return it == qos->options.end() ? std::string(fallback) : it->second;
                };
                const std::string port = valueOr("server_port", "443");
                const std::string address = valueOr("server_addr", "");
                const bool encryption = upper(valueOr("encryption", "false")) == "TRUE";
                if (settings != nullptr) {
                    try {
                        settings->qosServerPort = std::stoi(port, nullptr, 10);
                    } catch (const std::exception& e) {
                        logger().error("Error parsing qos server port (%s): %s", port, std::string(e.what()));
                        SentryHelper::captureException(e, "");
                    }
                    settings->qosServerHost = address;
                    settings->qosServerTls = encryption;
                }
                const std::string agentUuid = settings != nullptr ? settings->agentUuid : std::string();
                for (auto& [type, configurations] : qos->objectives) {
                    for (auto& configuration : configurations) {
                        if (!configuration) continue;
                        if (start != nullptr) {
                            auto selected = start->performQosType.find(type);
                            if (selected == start->performQosType.end() || !selected->second) continue;
                        }
                        configuration->server_port = port;
                        configuration->server_addr = address;
                        configuration->agentUuid = agentUuid;
                        configuration->concurrency_group += kQosGroupOffset;
                        logger().information("Adding task configuration: %s with uid: %s, cc: %u",
                                             configuration->qostest, configuration->qos_test_uid,
                                             static_cast<unsigned>(configuration->concurrency_group));
                        list.push_back(configuration.get());
                    }
                }
                sortTaskConfigurations(list);
            } else if (task.name == "SPEED") {
                if (start != nullptr && !start->performSpeed) continue;
                auto speed = std::make_unique<VelaTaskConfiguration>();
                SpeedMeasurementTypeParameters* parameters = nullptr;
                for (auto& option : task.option) {
                    parameters = dynamic_cast<SpeedMeasurementTypeParameters*>(option.measurement_parameters.get());
                    if (parameters != nullptr) break;
                }
                speed->speedParameters = parameters;
                speed->concurrency_group = kSpeedGroup;
                speed->timeout = kSpeedTimeout;

                std::string serverName;
                std::string serverLocation;
                auto toInt = [&](const LmapOptionDto& option, std::int32_t& target, const char* what) {
                    try {
                        target = std::stoi(option.value, nullptr, 10);
                    } catch (const std::exception& e) {
                        logger().error(std::string("failed to parse ") + what + " w/error: %s", std::string(e.what()));
                        SentryHelper::captureException(e, "");
                    }
                };
                for (const auto& option : task.option) {
                    const std::string& name = option.name;
                    if (name == "server_name") {
                        serverName = option.value;
                    } else if (name == "server_location") {
                        serverLocation = option.value;
                    } else if (name == "server_addr") {
                        speed->host = option.value;
                    } else if (name == "server_port") {
                        toInt(option, speed->port, "port");
                    } else if (name == "encryption") {
                        speed->use_tls = option.value == "true";
                    } else if (name == "skip_certificate_validation") {
                        speed->skip_certificate_validation = option.value == "true";
                    } else if (name == "auth_token") {
                        speed->authToken = option.value;
                    } else if (name == "server_port_udp") {
                        toInt(option, speed->udpPort, "port");
                    } else if (name == "download_duration_seconds") {
                        toInt(option, speed->download_duration_seconds, "download_duration_seconds");
                    } else if (name == "upload_duration_seconds") {
                        toInt(option, speed->upload_duration_seconds, "upload_duration_seconds");
                    }
                    if (parameters != nullptr && !option.measurement_parameters) {
                        parameters->options.emplace(option.name, option.value);
                    }
                }
                if (start != nullptr) {
                    speed->rttPhase = start->performRttMeasurement;
                    speed->downloadPhase = start->performDownloadMeasurement;
                    speed->uploadPhase = start->performUploadMeasurement;
                }
                logger().information("Adding VELA task %s, cc: %u", speed->qostest, static_cast<unsigned>(kSpeedGroup));
                list.push_back(speed.get());
                // A second speed test must not free the first one's
                // configuration, which the list still holds.
                if (document->velaTaskConfiguration) {
                    document->taskConfigurations.push_back(std::move(document->velaTaskConfiguration));
                }
                document->velaTaskConfiguration = std::move(speed);

                trevask::vela::IntermediateMeasurementCallback announcement;
                announcement.currentPhase = "info";
                announcement.serverName = serverName;
                announcement.serverLocation = serverLocation;
                const auto& provider = document->additional_response_info;
                announcement.providerName = firstNonEmpty(
                    {&provider.provider_short_name, &provider.provider_name, &provider.public_ip_as_name});
                announcement.agentPublicIp = provider.public_ip.value_or(std::string());
                trevask::vela::intermediateMeasurementCallback(announcement);
            } else if (task.name.rfind("PROGRAM_", 0) == 0) {
                auto program = std::make_unique<ProgramTaskConfiguration>();
                program->program = task.program;
                program->taskName = task.name;
                program->concurrency_group = programCounter++;
                ProgramTaskTypeParameters parameters;
                for (const auto& option : task.option) {
                    if (!option.measurement_parameters) parameters.options.emplace(option.name, option.value);
                }
                auto arguments = parameters.options.find("arguments");
                if (arguments != parameters.options.end()) program->arguments = arguments->second;
                logger().information("Adding program task %s, cc: %u", program->taskName,
                                     static_cast<unsigned>(program->concurrency_group));
                list.push_back(program.get());
                document->taskConfigurations.push_back(std::move(program));
            }
        }
    } catch (const std::exception& e) {
        logger().error("Error parsing task configuration: %s", std::string(e.what()));
        SentryHelper::captureException(e, "");
    }
    return list;
}

std::vector<std::unique_ptr<BaseTask>> MeasurementExecutorService::createTasks(
    const TaskFactoryTable& table, const std::vector<TaskConfiguration*>& configurations) {
    std::vector<std::unique_ptr<BaseTask>> tasks;
    std::vector<TaskConfiguration*> unmatched;
    auto offer = [&](TaskConfiguration* configuration) {
        for (const auto& entry : table) {
            if (entry.accepts(configuration)) {
                tasks.push_back(entry.create(configuration));
                return true;
            }
        }
        return false;
    };
    for (TaskConfiguration* configuration : configurations) {
        if (!offer(configuration)) unmatched.push_back(configuration);
    }
    if (!unmatched.empty()) {
        JavaTaskConfiguration catchAll;
        catchAll.configurations = std::move(unmatched);
        offer(&catchAll);
    }
    return tasks;
}

void MeasurementExecutorService::newTaskResultReady(const TaskResult* result) {
    TransactionScope transaction("newTaskResultReady");
    results.push_back(result);
    if (progressCallback) {
        MeasurementProgress progress{results, taskCount == 0 ? 0.0f
                                                              : static_cast<float>(results.size()) /
                                                                    static_cast<float>(taskCount)};
        progressCallback(progress);
    }
}

std::unique_ptr<MeasurementResultResponse> MeasurementExecutorService::executeMeasurements(
    MeasurementExecutorSettings* runSettings, std::vector<TaskConfiguration*> configurations,
    std::string collectorUrl, std::string extraData) {
    TransactionScope transaction("executeMeasurements");
    std::unique_ptr<SysInfoCollector> collector;
    bool sampling = false;
    std::optional<RunReservation> reservation;
    try {
        if (configurations.empty()) {
            logger().error("Called executeMeasurements w/out test configuration. Returning null");
            return nullptr;
        }
        reservation.emplace();
        if (!reservation->acquired()) {
            logger().error("Cannot run new measurement because there is a measurement running already.");
            if (runSettings != nullptr) noteFailure(*runSettings, "a measurement is running already");
            return nullptr;
        }
        // Only the accepted run sets the count: a refused call must not touch
        // the executor while the accepted run copies it for its progress.
        taskCount = static_cast<std::uint32_t>(configurations.size());
        if (runSettings == nullptr) throw std::runtime_error("no settings for the measurement");

        {
            SpanScope span(transaction, "pn::initializeNetwork");
            Poco::Net::initializeNetwork();
        }
        reservation->install(std::make_unique<TaskRunner>());
        TaskRunner* runner = reservation->runner();
        {
            SpanScope span(transaction, "bindCallbackFunction");
            if (progressCallback) {
                auto copy = std::make_shared<MeasurementExecutorService>(*this);
                runner->resultCallback = [copy](TaskResult* result) { copy->newTaskResultReady(result); };
            }
        }
        {
            SpanScope span(transaction, "_RUNNER->configure", "first time");
            runner->configure(runSettings);
        }
        {
            SpanScope span(transaction, "_RUNNER->configure", "second time");
            runner->setTasks(createTasks(buildTaskFactories(), configurations));
        }
        std::chrono::system_clock::time_point startTime;
        {
            SpanScope span(transaction, "sysInfoCollector->start");
            startTime = std::chrono::system_clock::now();
            collector = std::make_unique<SysInfoCollector>();
            collector->start(1000);
            sampling = true;
        }
        std::vector<std::unique_ptr<TaskResult>> taskResults;
        {
            SpanScope span(transaction, "_RUNNER->run");
            taskResults = runner->run(*collector);
            reservation->clearRunner();
        }
        std::unique_ptr<SysInfoData> samples;
        {
            SpanScope span(transaction, "sysInfoCollector->stop");
            samples = collector->stop();
            sampling = false;
        }
        if (taskResults.empty()) {
            logger().warning("Measurement was stopped, returning nullptr");
            return nullptr;
        }

        std::unique_ptr<LmapReportDto> report;
        {
            SpanScope span(transaction, "createResult");
            const auto endTime = std::chrono::system_clock::now();
            const std::int64_t startNs = nanosecondsSinceEpoch(startTime);
            const std::int64_t endNs = nanosecondsSinceEpoch(endTime);

            // Given even when empty: the results of a run whose registration
            // failed are still reported.
            auto& creator = RequestCreationService::getInstance();
            creator.setAgentUuid(runSettings->agentUuid, std::nullopt);
            std::vector<TaskResult*> pointers;
            pointers.reserve(taskResults.size());
            for (const auto& result : taskResults) pointers.push_back(result.get());
            report = creator.createLmapReportDto(pointers, runSettings);
            if (!report) {
                // The builder refuses only an absent agent UUID, which is
                // always given above; kept as a guard.
                logger().error("No LMAP report was built; no result is sent to the collector");
                return nullptr;
            }

            for (auto& entry : report->result) {
                if (!runSettings->resultTag.empty()) entry.tag = {runSettings->resultTag};
                if (!extraData.empty()) entry.extra_data = std::make_unique<std::string>(extraData);
            }

            TimeBasedResultDto timeBased;
            timeBased.start_time = formatReportTime(startTime, true);
            timeBased.end_time = formatReportTime(endTime, true);
            timeBased.duration_ns = static_cast<std::uint64_t>(endNs - startNs);
            if (samples) {
                for (const auto& sample : samples->memorySamples) {
                    timeBased.mem_usage.push_back(UsageSample{sample.value, sample.relative_time_ns - startNs});
                }
                for (const auto& sample : samples->cpuSamples) {
                    timeBased.cpu_usage.push_back(UsageSample{sample.value, sample.relative_time_ns - startNs});
                }
            }
            NetworkPointInTimeDto point;
            point.time = timeBased.start_time;
            point.network_type_id = WindowsSystemHelper::getCurrentNetworkType();
            timeBased.network_points_in_time.push_back(point);
            const auto& parameters = runSettings->startParameters ? runSettings->startParameters : startParameters;
            if (parameters && parameters->initialGeoLocation) {
                timeBased.geo_locations = std::vector<GeoLocation>{*parameters->initialGeoLocation};
            }
            report->time_based_result = std::move(timeBased);
        }

        SpanScope span(transaction, "sendResult");
        auto& connection = HttpConnectionService::getInstance();
        // The wire form is what the collector receives; it is also what is
        // logged, attached to the span and kept when it cannot be delivered.
        std::string wireReport = LmapReportDtoSerializer(*report);
        JsonMorpher::morph(report->getKeyMap(), wireReport);
        if (runSettings->logResult) {
            // Span data keeps only the report's start (SentryHelper bounds it).
            SentryHelper::setSpanData(span.get(), "measurementResult", wireReport);
            logger().information("Sending result: %s", wireReport);
        }
        std::unique_ptr<Poco::Net::HTTPBasicCredentials> credentials;
        if (runSettings->useBoardIdAuth) credentials = BoardIdBasicAuthProvider().getCredentials();
        if (!runSettings->overrideCollectorUrl.empty()) {
            collectorUrl = runSettings->overrideCollectorUrl;
            logger().warning("OVERRIDING COLLECTOR URL TO %s (from config.overrideCollectorUrl)", collectorUrl);
        }
        connection.configure(runSettings->controllerUrl, collectorUrl, std::move(credentials));
        logger().information("sending result to collector: %s", collectorUrl);
        auto answer = connection.doRequest<MeasurementResultResponse>(
            connection.endpointUrl(HttpConnectionService::COLLECTOR), "POST", report.get(), runSettings->collectorTimeoutMs);
        if (!answer) keepUndeliveredReport(*runSettings, wireReport, connection.lastFailure());
        return answer;
    } catch (const std::exception& e) {
        logger().error("Error parsing task configuration: %s", std::string(e.what()));
        SentryHelper::captureException(e, "");
        if (runSettings != nullptr) noteFailure(*runSettings, e.what());
        if (sampling && collector) {
            try {
                collector->stop();
            } catch (...) {
            }
        }
        if (reservation && reservation->acquired()) reservation->clearRunner();
        return nullptr;
    }
}

}  // namespace trevask::measurement_library

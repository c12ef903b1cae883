#include "VelaChannel.h"

#include "EventChannels.h"
#include "ServerResponse.h"
#include "Workers.h"

#include "helper/ConsoleOutput.h"
#include "model/AgentApiResponses.h"
#include "model/JsonMembers.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/UiConfiguration.h"
#include "service/VelaService.h"
#include "tasks/MeasurementCallbacks.h"

#include <boost/json.hpp>


namespace trevask {
namespace {

const char* kVelaChannel = "at.trevask.lumivex/vela";

// The registration and measurement workers. Starting one never waits for
// another, so a second call during a measurement leaves the platform thread
// free; the process waits for all of them before it exits.
WorkerSet& velaWorkers() {
    static WorkerSet workers;
    return workers;
}

// The method result shared between the handler and a worker, so that the
// handler can still answer when the worker fails to start.
using SharedResult = std::shared_ptr<std::unique_ptr<flutter::MethodResult>>;

void startWorker(SharedResult holder, std::function<void(std::unique_ptr<flutter::MethodResult>)> work) {
    try {
        velaWorkers().start([holder, work = std::move(work)] {
            auto result = std::move(*holder);
            try {
                work(std::move(result));
            } catch (const std::exception& e) {
                // The work moved the result on; it answers from its own guard.
                trevask::measurement_library::printErrorLine(e.what());
            }
        });
    } catch (const std::exception& e) {
        // No thread could be started; the result is still here.
        trevask::measurement_library::printErrorLine(e.what());
        if (*holder) (*holder)->Error(e.what(), "");
    }
}

// Answers a worker's result with an exception's text, so that a failing
// worker never leaves the call open.
template <typename Work>
void guarded(flutter::MethodResult& result, Work&& work) {
    try {
        work();
    } catch (const std::exception& e) {
        trevask::measurement_library::printErrorLine(e.what());
        result.Error(e.what(), "");
    }
}

}  // namespace

void registerVelaChannels(flutter::HeadlessEngine* engine) {
    replaceEventChannel(intermediateResultsChannel,
                        new EncodableEventChannel(engine, "at.trevask.lumivex/vela-results/intermediate"));
    replaceEventChannel(measurementStatusChannel,
                        new EncodableEventChannel(engine, "at.trevask.lumivex/vela-results/measurement-status"));
    replaceEventChannel(qosResultsChannel, new EncodableEventChannel(engine, "at.trevask.lumivex/vela-results/qos"));
    registerMethodChannel(engine, kVelaChannel, handleVelaMethodCall);
}

void handleVelaMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result) {
    auto holder = std::make_shared<std::unique_ptr<flutter::MethodResult>>(std::move(result));
    try {
        const std::string& method = call.method_name();
        const flutter::EncodableValue* args = call.arguments();
        if (method == "registerAgent") {
            const auto* map = args ? args->getIf<flutter::EncodableMap>() : nullptr;
            if (map == nullptr) {
                (*holder)->Error("Invalid arguments passed", "");
                return;
            }
            flutter::EncodableMap arguments = *map;
            auto url = getOptionalString(arguments, "url");
            if (!url) {
                (*holder)->Error("Invalid url passed", "");
                return;
            }
            if (url->empty()) {
                (*holder)->Error("Empty url passed", "");
                return;
            }
            auto agentUuid = getOptionalString(arguments, "agentUuid");
            auto lang = getOptionalString(arguments, "lang");
            startWorker(holder, [url = *url, agentUuid, lang, arguments](std::unique_ptr<flutter::MethodResult> r) {
                registerAgentWorker(url, agentUuid, lang, std::move(r), arguments);
            });
        } else if (method == "startMeasurement") {
            const auto* text = args ? args->getIf<std::string>() : nullptr;
            if (text == nullptr) {
                (*holder)->Error("Invalid arguments passed", "");
                return;
            }
            startWorker(holder, [parameters = *text](std::unique_ptr<flutter::MethodResult> r) {
                startMeasurementWorker(parameters, std::move(r));
            });
        } else if (method == "setFlutterConfiguration") {
            const auto* map = args ? args->getIf<flutter::EncodableMap>() : nullptr;
            if (map == nullptr) {
                (*holder)->Error("Invalid arguments passed", "");
                return;
            }
            auto timezone = getOptionalString(*map, "timezone");
            auto appVersionName = getOptionalString(*map, "appVersionName");
            auto appVersionCode = getOptionalInt(*map, "appVersionCode");
            auto appGitRevision = getOptionalString(*map, "appGitRevision");
            storeFlutterConfiguration(appVersionName.value_or(""), appVersionCode.value_or(0),
                                      appGitRevision.value_or(""), timezone.value_or("0"));
            (*holder)->Success(flutter::EncodableValue(std::string()));
        } else {
            (*holder)->NotImplemented();
        }
    } catch (const std::exception& e) {
        trevask::measurement_library::printErrorLine(e.what());
        if (*holder) (*holder)->Error(e.what(), "");
    }
}

void registerAgentWorker(std::string url, std::optional<std::string> agentUuid, std::optional<std::string> lang,
                         std::unique_ptr<flutter::MethodResult> result, flutter::EncodableMap arguments) {
    guarded(*result, [&] {
        auto tcVersionAccepted = getOptionalInt(arguments, "tcVersionAccepted");
        if (!tcVersionAccepted) {
            result->Error("tcVersionAccepted missing", "");
            return;
        }
        auto isTcAccepted = getOptionalBool(arguments, "isTcAccepted");
        if (!isTcAccepted) {
            result->Error("isTcAccepted missing", "");
            return;
        }
        auto groupName = getOptionalString(arguments, "groupName");
        measurement_sdk::VelaService service;
        // The back end takes the version as 16 bits.
        auto answer = service.registerAgent(url, agentUuid, static_cast<std::uint16_t>(*tcVersionAccepted),
                                            *isTcAccepted, groupName, lang);
        replyWithServerResponse(answer, *result, false);
    });
}

void startMeasurementWorker(std::string parameters, std::unique_ptr<flutter::MethodResult> result) {
    trevask::measurement_library::printLine("starting measurement with params " + parameters);
    guarded(*result, [&] {
        // The slots are locked, so replacing them while an earlier run still
        // reports is safe.
        vela::intermediateMeasurementCallback = sendIntermediateResult;
        vela::qosProgressCallback = sendQosProgress;

        boost::json::value json = measurement_library::parseJson(parameters);
        const auto& object = measurement_library::requireObject(json);
        measurement_library::StartMeasurementParameters params;
        measurement_library::readStartMeasurementParameters(object, params);

        // One measurement at a time: the executor would refuse a second run
        // anyway, but only after reconfiguring itself and fetching a control
        // document under the running measurement's feet.
        if (measurement_library::MeasurementExecutorService::isRunning()) {
            trevask::measurement_library::printErrorLine("a measurement is running already; not starting another");
            result->Error("Empty server response", "a measurement is running already");
            return;
        }
        measurement_sdk::VelaService service;
        auto answer = service.startMeasurement(params);
        if (!answer) {
            // The code stays what UIs know; the message says what failed.
            result->Error("Empty server response", service.lastFailure());
            return;
        }
        if (measurementStatusChannel) measurementStatusChannel->send(measurementStatusToJson(*answer));
        result->Success();
    });
}

void storeFlutterConfiguration(std::string appVersionName, std::int32_t appVersionCode, std::string appGitRevision,
                               std::string timezone) {
    measurement_library::UiConfiguration::store(std::move(timezone), std::move(appVersionName), appVersionCode,
                                                std::move(appGitRevision));
}

void waitForVelaWorker() {
    velaWorkers().waitAll();
}

void endVelaWork() {
    velaWorkers().close();
    velaWorkers().waitAll();
}

}  // namespace trevask

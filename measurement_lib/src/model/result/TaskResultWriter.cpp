#include "model/result/TaskResultWriter.h"

#include "model/result/BrowserTaskResults.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "model/result/EmailTaskResult.h"
#include "model/result/ExternalToolTaskResults.h"
#include "model/result/MediaStreamTaskResults.h"
#include "model/result/NativeVelaTaskResult.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/RmbtTaskResult.h"
#include "model/result/TelephonyTaskResults.h"
#include "model/result/WriterSupport.h"

#include <boost/json/parse.hpp>
#include <boost/system/system_error.hpp>

#include <iostream>
#include <string_view>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace result_writing {

void setEmbeddedDocument(json::object& obj, std::string_view key, const std::unique_ptr<std::string>& text) {
    json::value& slot = obj[key];
    slot = nullptr;
    if (!text) return;
    try {
        // Strict defaults: one complete document, depth at most 32, no
        // comments or trailing commas, valid UTF-8 only.
        slot = json::parse(*text, obj.storage());
    } catch (const std::exception& e) {
        slot = nullptr;
        std::cout << "Error during JSON parse: " << e.what() << std::endl;
    }
}

}  // namespace result_writing

using namespace result_writing;

void writeCommonTaskResultKeys(json::object& obj, const TaskResult& r) {
    setSigned(obj, "objective_id", r.objective_id);
    setUnsigned(obj, "objective_concurrency_group", r.objective_concurrency_group);
    setString(obj, "objective_task_type", r.objective_task_type);
    setString(obj, "test_type", r.test_type);
    setString(obj, "qos_test_uid", r.qos_test_uid);
    setString(obj, "status", r.status);
    setUnsigned(obj, "start_time_ns", r.start_time_ns);
    setUnsigned(obj, "duration_ns", r.duration_ns);
    setOptionalString(obj, "error_message", r.error_message);
}

void ProgramTaskResultWriter(json::value& value, const ProgramTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "task_name", r.task_name);
    setString(obj, "result", r.result);
    setString(obj, "output", r.output);
}

void OoklaSpeedtestCliTaskResultWriter(json::value& value, const OoklaSpeedtestCliTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setEmbeddedDocument(obj, "ookla_speedtest_cli_result", r.ookla_speedtest_cli_result);
}

namespace {

enum class Match { AnyCase, ExactPrefix };

using KindWriter = bool (*)(json::value&, const TaskResult&);

// Writes the record with its kind's writer when it is of the kind's class;
// the object is built aside and moved in, so a mismatch leaves `value` as it was.
template <typename Record, void (*Writer)(json::value&, const Record&)>
bool writeAs(json::value& value, const TaskResult& result) {
    const auto* record = dynamic_cast<const Record*>(&result);
    if (record == nullptr) return false;
    json::value fresh(value.storage());
    Writer(fresh, *record);
    value = std::move(fresh);
    return true;
}

struct ResultKind {
    std::string_view typeText;
    Match match;
    KindWriter write;
};

// Tried in this order; the first matching type text decides.
const ResultKind kKinds[] = {
    {"TCP", Match::AnyCase, &writeAs<TcpTaskResult, TcpTaskResultWriter>},
    {"UDP", Match::AnyCase, &writeAs<UdpTaskResult, UdpTaskResultWriter>},
    {"SIP", Match::AnyCase, &writeAs<SipTaskResult, SipTaskResultWriter>},
    {"NON_TRANSPARENT_PROXY", Match::AnyCase, &writeAs<NonTransparentProxyTaskResult, NonTransparentProxyTaskResultWriter>},
    {"VOIP", Match::AnyCase, &writeAs<VoipTaskResult, VoipTaskResultWriter>},
    {"DNS", Match::AnyCase, &writeAs<DnsTaskResult, DnsTaskResultWriter>},
    {"TRACEROUTE", Match::AnyCase, &writeAs<TracerouteTaskResult, TracerouteTaskResultWriter>},
    {"HTTP_PROXY", Match::AnyCase, &writeAs<HttpProxyTaskResult, HttpProxyTaskResultWriter>},
    {"VELA", Match::AnyCase, &writeAs<NativeVelaTaskResult, NativeVelaTaskResultWriter>},
    {"SPRINT", Match::AnyCase, &writeAs<NativeVelaTaskResult, NativeVelaTaskResultWriter>},
    {"MKIT_", Match::ExactPrefix, &writeAs<BaseMeasurementKitResult, MeasurementKitResultWriter>},
    {"BROWSERTIME", Match::AnyCase, &writeAs<BrowsertimeTaskResult, BrowsertimeTaskResultWriter>},
    {"CMDLINE", Match::AnyCase, &writeAs<CommandLineTaskResult, CommandLineTaskResultWriter>},
    {"EMAIL", Match::AnyCase, &writeAs<EmailTaskResult, EmailTaskResultWriter>},
    {"MULTICAST_RTP", Match::AnyCase, &writeAs<MulticastRtpTaskResult, MulticastRtpTaskResultWriter>},
    {"OOKLA_SPEEDTEST_EMBEDDED", Match::AnyCase, &writeAs<OoklaSpeedtestEmbeddedTaskResult, OoklaSpeedtestEmbeddedTaskResultWriter>},
    {"OOKLA_SPEEDTEST_CLI", Match::AnyCase, &writeAs<OoklaSpeedtestCliTaskResult, OoklaSpeedtestCliTaskResultWriter>},
    {"PROGRAM", Match::AnyCase, &writeAs<ProgramTaskResult, ProgramTaskResultWriter>},
    {"RMBT", Match::AnyCase, &writeAs<RmbtTaskResult, RmbtTaskResultWriter>},
    {"SELENIUM_BROWSER", Match::AnyCase, &writeAs<SeleniumBrowserTaskResult, SeleniumBrowserTaskResultWriter>},
    {"VOIP_PJSIP", Match::AnyCase, &writeAs<VoipPjsipTaskResult, VoipPjsipTaskResultWriter>},
};

bool matches(const ResultKind& kind, std::string_view typeText) {
    if (kind.match == Match::ExactPrefix) return typeText.substr(0, kind.typeText.size()) == kind.typeText;
    return typeTextEquals(typeText, kind.typeText);
}

}  // namespace

void TaskResultWriter(json::value& value, const TaskResult* result) {
    if (result == nullptr) return;

    // A program result is always written as its program object, whatever its
    // type text says.
    if (const auto* program = dynamic_cast<const ProgramTaskResult*>(result)) {
        std::cerr << "we have a program task here: " << program->task_name << std::endl;
        ProgramTaskResultWriter(value, *program);
    }

    for (const ResultKind& kind : kKinds) {
        if (matches(kind, result->objective_task_type)) {
            // A record of another class stays as it is; no later row is tried.
            kind.write(value, *result);
            return;
        }
    }
}

void tag_invoke(const json::value_from_tag&, json::value& value, const TaskResult* result) {
    TaskResultWriter(value, result);
}

void tag_invoke(const json::value_from_tag&, json::value& value, TaskResult* result) {
    TaskResultWriter(value, result);
}

}  // namespace trevask::measurement_library

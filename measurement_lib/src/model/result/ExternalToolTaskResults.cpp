#include "model/result/ExternalToolTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void MeasurementKitResultWriter(json::value& value, const BaseMeasurementKitResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setEmbeddedDocument(obj, "mkit_result", r.mkit_result);
    setOptionalString(obj, "mkit_status", r.mkit_status);
}

void CommandLineTaskResultWriter(json::value& value, const CommandLineTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "result_string", r.result_string);
    setString(obj, "error_string", r.error_string);
    setSigned(obj, "exit_code", r.exit_code);
}

void OoklaSpeedtestEmbeddedTaskResultWriter(json::value& value, const OoklaSpeedtestEmbeddedTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setEmbeddedDocument(obj, "ookla_speedtest_embedded_result", r.ookla_speedtest_embedded_result);
}

}  // namespace trevask::measurement_library

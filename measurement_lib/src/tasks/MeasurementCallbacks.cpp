#include "tasks/MeasurementCallbacks.h"

#include "helper/ConsoleOutput.h"

#include <sstream>

namespace trevask::vela {

void printKeyValue(const std::string& key, std::string&& value) {
    trevask::measurement_library::printLine(key + ": " + value);
}

void printKeyValueToStderr(const std::string& key, std::string&& value) {
    trevask::measurement_library::printErrorLine(key + ": " + value);
}

void printErrorCallback(std::shared_ptr<ErrorCallback>) {
    trevask::measurement_library::printErrorLine("ErrorCallback: received error");
}

void printQosProgressUpdate(std::shared_ptr<QosProgressUpdate> update) {
    if (!update) return;  // nothing to print; never dereference an empty share
    std::ostringstream line;
    line << "Qos progress update! " << update->progress;
    trevask::measurement_library::printLine(line.str());
}

CallbackSlot<LogFunction> logCallback{&printKeyValue};
CallbackSlot<LogFunction> errorLogCallback{&printKeyValueToStderr};
CallbackSlot<void(const IntermediateMeasurementCallback&)> intermediateMeasurementCallback{
    [](const IntermediateMeasurementCallback&) {}};
CallbackSlot<void(std::shared_ptr<FullMeasurementCallback>)> fullMeasurementCallback{
    [](std::shared_ptr<FullMeasurementCallback>) {}};
CallbackSlot<void(std::shared_ptr<ErrorCallback>)> errorCallback{&printErrorCallback};
CallbackSlot<void(std::shared_ptr<QosProgressUpdate>)> qosProgressCallback{&printQosProgressUpdate};

}  // namespace trevask::vela

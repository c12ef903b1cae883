#include "tasks/MeasurementCallbacks.h"

#include <iostream>

namespace trevask::vela {

void printKeyValue(const std::string& key, std::string&& value) {
    std::cout << key << ": " << value << std::endl;
}

void printKeyValueToStderr(const std::string& key, std::string&& value) {
    std::cerr << key << ": " << value << std::endl;
}

void printErrorCallback(std::shared_ptr<ErrorCallback>) {
    std::cerr << "ErrorCallback" << ": " << "received error" << std::endl;
}

void printQosProgressUpdate(std::shared_ptr<QosProgressUpdate> update) {
    if (!update) return;  // nothing to print; never dereference an empty share
    std::cout << "Qos progress update! " << update->progress << std::endl;
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

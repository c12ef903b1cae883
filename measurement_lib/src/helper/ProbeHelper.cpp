#include "helper/ProbeHelper.h"

#include "helper/CommandLineHelper.h"
#include "helper/system/WindowsSystemHelper.h"

#include <Poco/Logger.h>

#include <exception>

namespace trevask::measurement_library {

namespace {

constexpr const char* kNoBoardId = "000000000000000";

}  // namespace

Poco::Logger& ProbeHelper::logger() {
    static Poco::Logger& instance = Poco::Logger::get("ProbeHelper");
    return instance;
}

std::string ProbeHelper::getBoardId() {
    std::optional<std::string> uuid;
    try {
        uuid = WindowsSystemHelper::getSystemUuid();
    } catch (const std::exception& e) {
        poco_warning_f1(logger(), "Could not get boardid (exception: '%s'), returning 000000000000000",
                        std::string(e.what()));
    } catch (...) {
        poco_warning(logger(), "Could not get boardid (unknown exception), returning 000000000000000");
    }
    // An empty UUID would make an empty id; it counts as none.
    if (uuid && !uuid->empty()) return *uuid;
    return kNoBoardId;
}

std::optional<std::string> ProbeHelper::getCodeName() {
    return WindowsSystemHelper::getModel().value_or("") + " " + WindowsSystemHelper::getOsArchitecture().value_or("") +
           " " + WindowsSystemHelper::getManufacturer().value_or("");
}

std::optional<std::string> ProbeHelper::getCodeNameForContext() { return getCodeName(); }

std::optional<std::string> ProbeHelper::getModel() { return WindowsSystemHelper::getModel(); }

std::optional<std::string> ProbeHelper::getHostname() {
    return CommandLineHelper::tryExecuteForOutputDefaultTimeout("hostname", false);
}

std::optional<std::string> ProbeHelper::getImageName() { return std::nullopt; }
std::optional<std::string> ProbeHelper::getImageBuildTimestamp() { return std::nullopt; }

}  // namespace trevask::measurement_library

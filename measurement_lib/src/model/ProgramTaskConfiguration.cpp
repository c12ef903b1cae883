#include "model/ProgramTaskConfiguration.h"

#include "model/JsonMembers.h"
#include "model/TaskConfigurationReading.h"

namespace json = boost::json;

namespace trevask::measurement_library {

std::unique_ptr<ProgramTaskConfiguration> readProgramTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = detail::startTaskConfiguration<ProgramTaskConfiguration>(value, obj);
    readString(*obj, "taskName", c->taskName);
    readString(*obj, "program", c->program);
    readString(*obj, "arguments", c->arguments);
    return c;
}

}  // namespace trevask::measurement_library

#include "model/LmapSchedule.h"

#include "model/JsonMembers.h"

#include <boost/json/array.hpp>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

const char* const kExecutionModeNames[] = {"SEQUENTIAL", "PARALLEL", "PIPELINED"};
const char* const kStateNames[] = {"ENABLED", "DISABLED", "RUNNING", "SUPPRESSED"};

template <typename Record, typename Reader>
void readRecordList(const json::object& obj, const char* key, std::vector<Record>& target, Reader reader) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    std::vector<Record> list;
    for (const json::value& element : requireArray(it->value())) {
        requireObject(element);
        Record record;
        reader(element, record);
        list.push_back(std::move(record));
    }
    target = std::move(list);
}

void readState(const json::object& obj, LmapStateDto& target) {
    if (auto it = obj.find("state"); it != obj.end()) target = LmapStateDtoReader(it->value());
}

}  // namespace

ExecutionMode ExecutionModeReader(const json::value& value) {
    return readEnumText<ExecutionMode>(value, kExecutionModeNames, "trevask::measurement_library::ExecutionMode");
}

LmapStateDto LmapStateDtoReader(const json::value& value) {
    return readEnumText<LmapStateDto>(value, kStateNames, "trevask::measurement_library::LmapStateDto");
}

const char* ExecutionModeWriter(ExecutionMode mode) { return enumText(mode, kExecutionModeNames); }

const char* LmapStateDtoWriter(LmapStateDto state) { return enumText(state, kStateNames); }

void LmapStopDtoReader(const json::object& obj, LmapScheduleDto& schedule) {
    auto it = obj.find("stop");
    if (it == obj.end()) return;
    schedule.stop.reset();
    if (it->value().is_object()) schedule.stop = std::make_unique<LmapStopDto>();
}

void LmapActionDtoReader(const json::value& value, LmapActionDto& action) {
    const json::object& obj = requireObject(value);
    readString(obj, "name", action.name);
    readString(obj, "task", action.task);
    readRecordList(obj, "option", action.option, LmapOptionDtoReader);
    readStringList(obj, "destination", action.destination);
    readStringList(obj, "tag", action.tag);
    readStringList(obj, "suppressionTag", action.suppressionTag);
    readState(obj, action.state);
    readNumber(obj, "storage", action.storage);
    readNumber(obj, "invocations", action.invocations);
    readNumber(obj, "suppressions", action.suppressions);
    readNumber(obj, "overlaps", action.overlaps);
    readNumber(obj, "failures", action.failures);
    readString(obj, "lastInvocation", action.lastInvocation);
    readString(obj, "lastCompletion", action.lastCompletion);
    readNumber(obj, "lastStatus", action.lastStatus);
    readString(obj, "lastMessage", action.lastMessage);
    readNumber(obj, "lastFailedStatus", action.lastFailedStatus);
    readString(obj, "lastFailedMessage", action.lastFailedMessage);
}

void LmapScheduleDtoReader(const json::value& value, LmapScheduleDto& schedule) {
    const json::object& obj = requireObject(value);
    readString(obj, "name", schedule.name);
    readString(obj, "start", schedule.start);
    LmapStopDtoReader(obj, schedule);
    if (auto it = obj.find("executionMode"); it != obj.end()) schedule.executionMode = ExecutionModeReader(it->value());
    readStringList(obj, "tag", schedule.tag);
    readStringList(obj, "suppressionTag", schedule.suppressionTag);
    readState(obj, schedule.state);
    readNumber(obj, "storage", schedule.storage);
    readNumber(obj, "invocations", schedule.invocations);
    readNumber(obj, "suppressions", schedule.suppressions);
    readNumber(obj, "overlaps", schedule.overlaps);
    readNumber(obj, "failures", schedule.failures);
    readString(obj, "lastInvocation", schedule.lastInvocation);
    readRecordList(obj, "action", schedule.action, LmapActionDtoReader);
}

json::object LmapActionDtoWriter(const LmapActionDto& action) {
    json::object obj;
    setString(obj, "name", action.name);
    setString(obj, "task", action.task);
    json::array options;
    for (const auto& option : action.option) options.emplace_back(LmapOptionDtoWriter(option));
    obj["option"] = std::move(options);
    obj["destination"] = stringArray(action.destination);
    obj["tag"] = stringArray(action.tag);
    obj["suppressionTag"] = stringArray(action.suppressionTag);
    obj["state"] = LmapStateDtoWriter(action.state);
    setUInt64(obj, "storage", action.storage);
    setUInt32(obj, "invocations", action.invocations);
    setUInt32(obj, "suppressions", action.suppressions);
    setUInt32(obj, "overlaps", action.overlaps);
    setUInt32(obj, "failures", action.failures);
    setString(obj, "lastInvocation", action.lastInvocation);
    setString(obj, "lastCompletion", action.lastCompletion);
    obj["lastStatus"] = static_cast<std::int64_t>(action.lastStatus);
    setString(obj, "lastMessage", action.lastMessage);
    obj["lastFailedStatus"] = static_cast<std::int64_t>(action.lastFailedStatus);
    setString(obj, "lastFailedMessage", action.lastFailedMessage);
    return obj;
}

json::object LmapScheduleDtoWriter(const LmapScheduleDto& schedule) {
    json::object obj;
    setString(obj, "name", schedule.name);
    setString(obj, "start", schedule.start);
    if (schedule.stop) {
        obj["stop"] = json::object();
    } else {
        obj["stop"] = nullptr;
    }
    obj["executionMode"] = ExecutionModeWriter(schedule.executionMode);
    obj["tag"] = stringArray(schedule.tag);
    obj["suppressionTag"] = stringArray(schedule.suppressionTag);
    obj["state"] = LmapStateDtoWriter(schedule.state);
    setUInt64(obj, "storage", schedule.storage);
    setUInt32(obj, "invocations", schedule.invocations);
    setUInt32(obj, "suppressions", schedule.suppressions);
    setUInt32(obj, "overlaps", schedule.overlaps);
    setUInt32(obj, "failures", schedule.failures);
    setString(obj, "lastInvocation", schedule.lastInvocation);
    json::array actions;
    for (const auto& action : schedule.action) actions.emplace_back(LmapActionDtoWriter(action));
    obj["action"] = std::move(actions);
    return obj;
}

}  // namespace trevask::measurement_library

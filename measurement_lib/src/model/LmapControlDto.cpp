#include "model/LmapControlDto.h"

#include "model/JsonMembers.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

const char* const kEventTypeNames[] = {"IMMEDIATE", "PERIODIC"};

// A nested record: read into a fresh record that then replaces the member.
template <typename Record, typename Reader>
void readRecord(const json::object& obj, const char* key, Record& target, Reader reader) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    target = reader(it->value());
}

}  // namespace

LmapControlDto::LmapControlDto()
    : JsonMorpher({
          {"agent_id", "agent-id"},
          {"group_id", "group-id"},
          {"measurement_parameters", "measurement-parameters"},
          {"group_id", "group-id"},
          {"additional_request_info", "additional-request-info"},
          {"additional_response_info", "additional-response-info"},
          {"isDefault", "default"},
          {"eventType", "event-type"},
          {"random_spread", "random-spread"},
          {"executionMode", "execution-mode"},
          {"suppressionTag", "suppression-tag"},
          {"lastInvocation", "last-invocation"},
      }) {}

EventType EventTypeReader(const json::value& value) {
    return readEnumText<EventType>(value, kEventTypeNames, "trevask::measurement_library::EventType");
}

const char* EventTypeWriter(EventType type) { return enumText(type, kEventTypeNames); }

// --- readers -----------------------------------------------------------------

LmapCapabilityTaskDto LmapCapabilityTaskDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    LmapCapabilityTaskDto task;
    readString(obj, "name", task.name);
    readString(obj, "version", task.version);
    readOptionalString(obj, "selected_measurement_peer_identifier", task.selected_measurement_peer_identifier);
    return task;
}

LmapCapabilityDto LmapCapabilityDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    LmapCapabilityDto capabilities;
    readString(obj, "version", capabilities.version);
    readStringList(obj, "tag", capabilities.tag);
    readList(obj, "tasks", capabilities.tasks, LmapCapabilityTaskDtoReader);
    return capabilities;
}

LmapAgentDto LmapAgentDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    LmapAgentDto agent;
    readOptionalString(obj, "agent_id", agent.agent_id);
    readOptionalString(obj, "group_id", agent.group_id);
    return agent;
}

LmapTaskDto LmapTaskDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    LmapTaskDto task;
    readString(obj, "name", task.name);
    readList(obj, "option", task.option, [](const json::value& element) {
        LmapOptionDto option;
        LmapOptionDtoReader(element, option);
        return option;
    });
    readString(obj, "program", task.program);
    return task;
}

std::unique_ptr<LmapEventTypeDto> LmapEventTypeDtoReader(const json::value& value) {
    const auto kind = readTypeText(value, "deserialize_type");
    if (!kind) return nullptr;
    const json::object& obj = value.get_object();  // readTypeText gives a text only for an object
    auto readType = [&obj](LmapEventTypeDto& event) {
        if (auto it = obj.find("type"); it != obj.end()) event.type = EventTypeReader(it->value());
    };
    if (typeTextEquals(*kind, LmapPeriodicEventDto::kType)) {
        auto event = std::make_unique<LmapPeriodicEventDto>();
        readType(*event);
        readNumber(obj, "interval", event->interval);
        readString(obj, "start", event->start);
        readString(obj, "end", event->end);
        return event;
    }
    if (typeTextEquals(*kind, LmapImmediateEventDto::kType)) {
        auto event = std::make_unique<LmapImmediateEventDto>();
        readType(*event);
        return event;
    }
    return nullptr;
}

LmapEventDto LmapEventDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    LmapEventDto event;
    readString(obj, "name", event.name);
    readNumber(obj, "random_spread", event.random_spread);
    auto it = obj.find("eventType");
    if (it != obj.end() && !it->value().is_null()) {
        try {
            event.eventType = LmapEventTypeDtoReader(it->value());
        } catch (const std::exception&) {
            // The kind is optional: a defect in it costs only the kind.
            event.eventType.reset();
        }
    }
    return event;
}

ProviderInfoDto ProviderInfoDtoReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    ProviderInfoDto info;
    readOptionalString(obj, "provider_short_name", info.provider_short_name);
    readOptionalString(obj, "provider_name", info.provider_name);
    readOptionalString(obj, "public_ip_as_name", info.public_ip_as_name);
    readOptionalString(obj, "provider_country", info.provider_country);
    readOptionalString(obj, "public_ip", info.public_ip);
    return info;
}

void LmapControlDtoReader(const json::value& value, LmapControlDto& dto) {
    const json::object& obj = requireObject(value);
    readRecord(obj, "capabilities", dto.capabilities, LmapCapabilityDtoReader);
    readRecord(obj, "agent", dto.agent, LmapAgentDtoReader);
    readList(obj, "tasks", dto.tasks, LmapTaskDtoReader);
    readList(obj, "events", dto.events, LmapEventDtoReader);
    RequestInfoReader(obj, "additional_request_info", dto.additional_request_info);
    readRecord(obj, "additional_response_info", dto.additional_response_info, ProviderInfoDtoReader);
    readList(obj, "schedules", dto.schedules, [](const json::value& element) {
        requireObject(element);
        LmapScheduleDto schedule;
        LmapScheduleDtoReader(element, schedule);
        return schedule;
    });
}

std::unique_ptr<LmapControlDto> LmapControlDtoParser(std::string_view text) {
    const json::value value = parseJson(text);
    requireObject(value);
    auto dto = std::make_unique<LmapControlDto>();
    LmapControlDtoReader(value, *dto);
    return dto;
}

// --- writers -----------------------------------------------------------------

json::object LmapCapabilityTaskDtoWriter(const LmapCapabilityTaskDto& task) {
    json::object obj;
    setString(obj, "name", task.name);
    setString(obj, "version", task.version);
    setOptionalString(obj, "selected_measurement_peer_identifier", task.selected_measurement_peer_identifier);
    return obj;
}

json::object LmapCapabilityDtoWriter(const LmapCapabilityDto& capabilities) {
    json::object obj;
    setString(obj, "version", capabilities.version);
    obj["tag"] = stringArray(capabilities.tag);
    obj["tasks"] = arrayOf(capabilities.tasks, LmapCapabilityTaskDtoWriter);
    return obj;
}

json::object LmapAgentDtoWriter(const LmapAgentDto& agent) {
    json::object obj;
    setOptionalString(obj, "agent_id", agent.agent_id);
    setOptionalString(obj, "group_id", agent.group_id);
    return obj;
}

json::object LmapTaskDtoWriter(const LmapTaskDto& task) {
    json::object obj;
    setString(obj, "name", task.name);
    obj["option"] = arrayOf(task.option, LmapOptionDtoWriter);
    setString(obj, "program", task.program);
    return obj;
}

json::object LmapEventDtoWriter(const LmapEventDto& event) {
    json::object obj;
    setString(obj, "name", event.name);
    setUInt64(obj, "random_spread", event.random_spread);
    if (event.eventType) {
        json::object kind;
        kind["type"] = EventTypeWriter(event.eventType->type);
        obj["eventType"] = std::move(kind);
    } else {
        obj["eventType"] = nullptr;
    }
    return obj;
}

json::object ProviderInfoDtoWriter(const ProviderInfoDto& info) {
    json::object obj;
    setOptionalString(obj, "provider_short_name", info.provider_short_name);
    setOptionalString(obj, "provider_name", info.provider_name);
    setOptionalString(obj, "public_ip_as_name", info.public_ip_as_name);
    setOptionalString(obj, "provider_country", info.provider_country);
    setOptionalString(obj, "public_ip", info.public_ip);
    return obj;
}

void LmapControlDtoWriter(json::object& obj, const LmapControlDto& dto) {
    obj["capabilities"] = LmapCapabilityDtoWriter(dto.capabilities);
    obj["agent"] = LmapAgentDtoWriter(dto.agent);
    obj["tasks"] = arrayOf(dto.tasks, LmapTaskDtoWriter);
    obj["events"] = arrayOf(dto.events, LmapEventDtoWriter);
    writeRequestInfoMember(obj, "additional_request_info", dto.additional_request_info);
    obj["additional_response_info"] = ProviderInfoDtoWriter(dto.additional_response_info);
    obj["schedules"] = arrayOf(dto.schedules, LmapScheduleDtoWriter);
}

std::string LmapControlDtoSerializer(const LmapControlDto& dto) {
    json::value value(json::object_kind);
    LmapControlDtoWriter(value.get_object(), dto);
    return json::serialize(value);
}

}  // namespace trevask::measurement_library

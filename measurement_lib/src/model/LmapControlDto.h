#pragma once
// The LMAP control document: what the agent asks the controller for
// (capabilities, identity, client description) and what it receives back
// (tasks with options and measurement parameters, events, schedules and
// facts about the user's access). Readers and writers use member names; the
// hyphenated wire names are produced and removed by JsonMorpher::morph with
// the document's key pairs.

#include "model/JsonMorpher.h"
#include "model/LmapOptionDto.h"
#include "model/LmapSchedule.h"
#include "model/RequestInfo.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trevask::measurement_library {

enum class EventType : std::int32_t { IMMEDIATE = 0, PERIODIC = 1 };

struct LmapCapabilityTaskDto {
    std::string name;
    std::string version;
    std::optional<std::string> selected_measurement_peer_identifier;
};

struct LmapCapabilityDto {
    std::string version = "1.0.0";
    std::vector<std::string> tag;
    std::vector<LmapCapabilityTaskDto> tasks;
};

struct LmapAgentDto {
    std::optional<std::string> agent_id;
    std::optional<std::string> group_id;
};

struct LmapTaskDto {
    std::string name;
    std::vector<LmapOptionDto> option;
    std::string program;
};

// The kind of an event; the document names it in "deserialize_type".
struct LmapEventTypeDto {
    virtual ~LmapEventTypeDto() = default;
    EventType type = EventType::IMMEDIATE;
};

struct LmapImmediateEventDto : LmapEventTypeDto {
    static constexpr const char* kType = "event_immediate";
};

struct LmapPeriodicEventDto : LmapEventTypeDto {
    static constexpr const char* kType = "event_periodic";
    std::uint64_t interval = 0;
    std::string start;
    std::string end;
};

struct LmapEventDto {
    std::uint64_t random_spread = 0;
    std::string name;
    std::unique_ptr<LmapEventTypeDto> eventType;
};

// Facts about the user's access that the controller adds.
struct ProviderInfoDto {
    std::optional<std::string> provider_short_name;
    std::optional<std::string> provider_name;
    std::optional<std::string> public_ip_as_name;
    std::optional<std::string> provider_country;
    std::optional<std::string> public_ip;

    bool operator==(const ProviderInfoDto&) const = default;
};

struct LmapControlDto : JsonMorpher {
    LmapControlDto();
    ~LmapControlDto() override = default;

    LmapControlDto(LmapControlDto&&) = default;
    LmapControlDto& operator=(LmapControlDto&&) = default;

    LmapCapabilityDto capabilities;
    LmapAgentDto agent;
    std::vector<LmapTaskDto> tasks;
    RequestInfo additional_request_info;
    ProviderInfoDto additional_response_info;
    std::vector<LmapScheduleDto> schedules;
    std::vector<LmapEventDto> events;

    // Filled by task planning, never read or written as JSON: the
    // configurations it creates for this document and that nothing else owns,
    // and the speed-test task's configuration.
    std::vector<std::unique_ptr<TaskConfiguration>> taskConfigurations;
    std::unique_ptr<VelaTaskConfiguration> velaTaskConfiguration;
};

// "IMMEDIATE" / "PERIODIC"; reading throws "not a string" or the enumeration
// error; a value outside the enumeration is written as "(unnamed)".
EventType EventTypeReader(const boost::json::value& value);
const char* EventTypeWriter(EventType type);

// Parses `text` (comments and trailing commas accepted) and reads the
// document from it with member names. Throws on a syntax error, on a root
// that is not an object ("not an object") and on every reader failure.
std::unique_ptr<LmapControlDto> LmapControlDtoParser(std::string_view text);

// Fills `dto` from a JSON object, member by member in document order; an
// absent key leaves the member as it is. A failure ends the read with an
// exception and leaves the members read before it in place.
void LmapControlDtoReader(const boost::json::value& value, LmapControlDto& dto);

// Member readers; each requires an object ("not an object").
LmapCapabilityDto LmapCapabilityDtoReader(const boost::json::value& value);
LmapCapabilityTaskDto LmapCapabilityTaskDtoReader(const boost::json::value& value);
LmapAgentDto LmapAgentDtoReader(const boost::json::value& value);
LmapTaskDto LmapTaskDtoReader(const boost::json::value& value);
LmapEventDto LmapEventDtoReader(const boost::json::value& value);
ProviderInfoDto ProviderInfoDtoReader(const boost::json::value& value);
// The kind that "deserialize_type" names (case-insensitive); none for any
// other value. Member failures throw.
std::unique_ptr<LmapEventTypeDto> LmapEventTypeDtoReader(const boost::json::value& value);

// Writes every member into `obj`, in document order, with member names.
void LmapControlDtoWriter(boost::json::object& obj, const LmapControlDto& dto);
boost::json::object LmapCapabilityDtoWriter(const LmapCapabilityDto& capabilities);
boost::json::object LmapCapabilityTaskDtoWriter(const LmapCapabilityTaskDto& task);
boost::json::object LmapAgentDtoWriter(const LmapAgentDto& agent);
boost::json::object LmapTaskDtoWriter(const LmapTaskDto& task);
// {"name", "random_spread", "eventType": null or {"type"}}
boost::json::object LmapEventDtoWriter(const LmapEventDto& event);
boost::json::object ProviderInfoDtoWriter(const ProviderInfoDto& info);

// The document's compact JSON text with member names (before translation).
std::string LmapControlDtoSerializer(const LmapControlDto& dto);

}  // namespace trevask::measurement_library

#pragma once
// The schedules of an LMAP control document: when and how tasks run, with
// their actions and the counters and status of past runs. Readers and writers
// use the member names; the hyphenated wire names are the key translation's
// business.

#include "model/LmapOptionDto.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trevask::measurement_library {

enum class ExecutionMode : std::int32_t { SEQUENTIAL = 0, PARALLEL = 1, PIPELINED = 2 };
enum class LmapStateDto : std::int32_t { ENABLED = 0, DISABLED = 1, RUNNING = 2, SUPPRESSED = 3 };

// A schedule's end condition; the document carries no members for it, only
// whether there is one.
class LmapStopDto {
public:
    virtual ~LmapStopDto() = default;
};

struct LmapActionDto {
    std::string name;
    std::string task;
    std::vector<LmapOptionDto> option;
    std::vector<std::string> destination;
    std::vector<std::string> tag;
    std::vector<std::string> suppressionTag;
    LmapStateDto state = LmapStateDto::ENABLED;
    std::uint64_t storage = 0;
    std::uint32_t invocations = 0;
    std::uint32_t suppressions = 0;
    std::uint32_t overlaps = 0;
    std::uint32_t failures = 0;
    std::string lastInvocation;
    std::string lastCompletion;
    std::int32_t lastStatus = 0;
    std::string lastMessage;
    std::int32_t lastFailedStatus = 0;
    std::string lastFailedMessage;
};

struct LmapScheduleDto {
    std::string name;
    std::string start;
    std::unique_ptr<LmapStopDto> stop;
    ExecutionMode executionMode = ExecutionMode::SEQUENTIAL;
    std::vector<std::string> tag;
    std::vector<std::string> suppressionTag;
    LmapStateDto state = LmapStateDto::ENABLED;
    std::uint64_t storage = 0;
    std::uint32_t invocations = 0;
    std::uint32_t suppressions = 0;
    std::uint32_t overlaps = 0;
    std::uint32_t failures = 0;
    std::string lastInvocation;
    std::vector<LmapActionDto> action;
};

// Enumerations are their exact upper-case enumerator texts. Reading throws
// "not a string" for another kind and "Invalid enumerator name '...' for enum
// type '...'" for an unknown text; a value outside the enumeration is written
// as "(unnamed)".
ExecutionMode ExecutionModeReader(const boost::json::value& value);
LmapStateDto LmapStateDtoReader(const boost::json::value& value);
const char* ExecutionModeWriter(ExecutionMode mode);
const char* LmapStateDtoWriter(LmapStateDto state);

// Reads a schedule's "stop": present and not null gives a stop when it is an
// object; null, another kind or any failure gives none and goes no further;
// an absent key leaves the schedule as it is.
void LmapStopDtoReader(const boost::json::object& obj, LmapScheduleDto& schedule);

// Fill a record from a JSON object; an absent key leaves the member as it is.
// Every failure (see the enumeration, number and list rules of the member
// readers) throws and ends the read, except inside "stop".
void LmapScheduleDtoReader(const boost::json::value& value, LmapScheduleDto& schedule);
void LmapActionDtoReader(const boost::json::value& value, LmapActionDto& action);

// Write every member, in declaration order.
boost::json::object LmapScheduleDtoWriter(const LmapScheduleDto& schedule);
boost::json::object LmapActionDtoWriter(const LmapActionDto& action);

}  // namespace trevask::measurement_library

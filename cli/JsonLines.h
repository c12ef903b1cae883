#pragma once
// Replies and events of the agent as JSON lines on standard output: the
// output of the step mode and of `measure --json`. Every line is one JSON
// object with "type" ("reply", "event", "timeout", "summary") and "time"
// (UTC, ISO 8601 with milliseconds).

#include "platform/flutter/UiClient.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace lumivex::cli {

// Milliseconds since the program started.
std::int64_t sinceStart();

// How values are written. Raw: as the agent sent them (the step mode, whose
// readers compare the texts). Decoded: a text that holds a JSON object or
// list is written as that object or list, so a reader parses each line once.
enum class Values { Raw, Decoded };

// {"type":"reply","time","channel","method","atMs","reply":"success"|"error"|"notImplemented"|"timeout",...}
void printReply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r,
                std::int64_t atMs, Values values = Values::Raw);

// {"type":"event","time","event":channel,"kind":...,"value":...}; returns the line printed.
std::string printEvent(const flutter::UiEvent& e, Values values = Values::Raw);

// {"type":TYPE,"time",...members}: any other line.
void printLine(const std::string& type, boost::json::object members);

}  // namespace lumivex::cli

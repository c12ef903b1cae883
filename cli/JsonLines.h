#pragma once
// Replies and events of the agent as JSON lines on standard output: the
// output of the step mode and of `measure --json`.

#include "platform/flutter/UiClient.h"

#include <cstdint>
#include <optional>
#include <string>

namespace lumivex::cli {

// Milliseconds since the program started.
std::int64_t sinceStart();

// {"channel","method","atMs","reply":"success"|"error"|"notImplemented"|"timeout",...}
void printReply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r,
                std::int64_t atMs);

// {"event":channel,"kind":...,"value":...}; returns the line printed.
std::string printEvent(const flutter::UiEvent& e);

}  // namespace lumivex::cli

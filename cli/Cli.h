#pragma once
// The command-line front end of the agent: what its two modes share.

#include "ExitStatus.h"

#include <optional>
#include <string>
#include <vector>

namespace lumivex::cli {

inline constexpr const char* kProgram = "lumivex-cli";

// Exit statuses: the table shared with lumivex and scripts/run.
enum Exit : int {
    kDone = kExitDone,
    kFailed = kExitFailed,          // a measurement that ended without an accepted report
    kUsage = kExitUsage,            // bad command line
    kUnreachable = kExitNoAgent,    // the agent's socket could not be reached
    kTimeout = kExitTimeout,        // a wait ran out
};

struct GlobalOptions {
    std::string socket;    // empty: the agent's default path
    long timeoutMs = 5000;  // bound on each wait for the agent
    bool json = false;      // JSON lines instead of the human view
};

// Reads a global option at args[i] (advancing i past its value). Returns
// false when args[i] is none; sets `error` when it is one but malformed.
bool takeGlobalOption(const std::vector<std::string>& args, std::size_t& i, GlobalOptions& options,
                      std::string& error);

// The socket to use: --socket, else $LUMIVEX_UI_SOCKET, else the agent's
// default path. No value, with the reason in `error`, when none is usable.
std::optional<std::string> socketPath(const GlobalOptions& options, std::string& error);

// Prints "lumivex-cli: <problem> (see lumivex-cli --help)" and returns kUsage.
int usageError(const std::string& problem);

int runSteps(const GlobalOptions& options, const std::vector<std::string>& args);
int runMeasure(const GlobalOptions& options, const std::vector<std::string>& args);

}  // namespace lumivex::cli

// lumivex-cli: the command-line front end of the Lumivex agent. It talks to
// a running agent over the agent's UI socket, the way a graphical UI would.

#include "Cli.h"

#include "platform/flutter/UiSocket.h"

#include "LumivexVersion.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace lumivex::cli {

namespace {

const char* kHelp = R"(lumivex-cli: the command-line front end of the Lumivex agent.
It talks to a running agent (lumivex) over the agent's UI socket. The agent
ends when its UI disconnects, so one invocation does everything in order.

usage: lumivex-cli [OPTIONS] measure --controller URL [MEASURE OPTIONS]
       lumivex-cli [OPTIONS] STEP...
       lumivex-cli --help | --version

options:
  --socket PATH      the agent's UI socket. Default: $LUMIVEX_UI_SOCKET, else
                     $XDG_RUNTIME_DIR/lumivex-ui.sock, else
                     /tmp/lumivex-<uid>/ui.sock (the agent uses the same rule)
  --timeout-ms N     bound on each wait for the agent (default 5000)
  --json             JSON lines on standard output instead of the human view

measure: one full measurement. Registers the agent with the controller when
no UUID is given (and prints the UUID it got), starts the measurement, shows
one live line (phase, progress, rate) and a summary at the end.
  --controller URL   the back end's controller, e.g. https://example.org
                     ("/api/v1" is added unless the URL names an API version)
  --agent-uuid UUID  an agent registered before; no new registration
  --no-speed         leave out the speed test
  --no-qos           leave out the QoS tests
  --qos-types LIST   QoS types to run, comma-separated, in any case (default:
                     all of TCP,UDP,NON_TRANSPARENT_PROXY,SIP,VOIP,DNS,TRACEROUTE,
                     HTTP_PROXY); an unknown type is refused before anything starts
  --report FILE      the report the collector received, where the back end
                     writes one (the loopback back end of scripts/run does):
                     the summary then shows every figure and each QoS test's
                     status from it
  --note TEXT        a line added to the summary; repeatable
  --max-seconds N    bound on the whole measurement (default 900)
A failure names its step (registration, control document, measurement,
report upload) and, where it can be found by trying the back end's address
once, its cause ("connection refused by 127.0.0.1:9", "cannot resolve
example.invalid", "no answer within 5 s from ...", "HTTP 500 ..."), next to
the agent's own answer. Ctrl-C (or SIGTERM) prints the figures seen so far,
marked as partial, then "stopped". When LUMIVEX_TEST_SPEED_OVERRIDES is set
(a test build's shortened speed test) the summary says so.
With --json, every line is one JSON object with "type" ("reply", "event",
"summary") and "time" (UTC); an event's value is decoded JSON, not a JSON
text in a string; the last line is the summary ({"type":"summary",...,
"summary":{...}}).

steps (run in order; every reply and event is printed as one JSON line):
  --listen CHANNEL              subscribe to an event channel
  --call CHANNEL METHOD JSON    call a method and wait for its reply
  --send CHANNEL METHOD JSON    call a method without waiting; its reply is
                                printed by a later --await-replies
  --await-replies               wait for the replies of every --send so far
  --events N                    wait for N events
  --until-event TEXT            wait for events until one holds TEXT
  --sleep-ms N                  pause
  --quit                        ask the agent to close and wait until it does
For example:
  lumivex-cli --call at.trevask.lumivex/system requestWindowScale null --quit

)";

}  // namespace

bool takeGlobalOption(const std::vector<std::string>& args, std::size_t& i, GlobalOptions& options,
                      std::string& error) {
    const std::string& a = args[i];
    if (a == "--json") {
        options.json = true;
        return true;
    }
    if (a != "--socket" && a != "--timeout-ms") return false;
    if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return true;
    }
    const std::string& value = args[++i];
    if (a == "--socket") {
        if (value.empty()) error = "--socket needs a path";
        options.socket = value;
    } else {
        char* end = nullptr;
        const long ms = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || ms <= 0) {
            error = "--timeout-ms needs a positive number of milliseconds, not \"" + value + "\"";
        } else {
            options.timeoutMs = ms;
        }
    }
    return true;
}

std::optional<std::string> socketPath(const GlobalOptions& options, std::string& error) {
    if (!options.socket.empty()) return options.socket;
    if (const char* env = std::getenv("LUMIVEX_UI_SOCKET"); env != nullptr && *env != '\0') return std::string(env);
    return flutter::DefaultUiSocketPath(error);
}

int usageError(const std::string& problem) {
    std::cerr << kProgram << ": " << problem << " (see " << kProgram << " --help)\n";
    return kUsage;
}

}  // namespace lumivex::cli

int main(int argc, char** argv) {
    using namespace lumivex::cli;
    const std::vector<std::string> args(argv + 1, argv + argc);
    GlobalOptions options;
    // Global options may come first; the first other word picks the mode.
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kHelp << "\n" << lumivex::kExitStatusTable;
            return kDone;
        }
        if (args[i] == "--version") {
            std::cout << kProgram << ": " << lumivex::versionText();
            return kDone;
        }
        std::string error;
        if (takeGlobalOption(args, i, options, error)) {
            if (!error.empty()) return usageError(error);
            continue;
        }
        const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
        if (args[i] == "measure") return runMeasure(options, {rest.begin() + 1, rest.end()});
        for (const auto& a : rest) {
            if (a == "--help" || a == "-h") {
                std::cout << kHelp << "\n" << lumivex::kExitStatusTable;
                return kDone;
            }
        }
        return runSteps(options, rest);
    }
    return usageError("nothing to do");
}

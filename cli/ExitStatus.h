#pragma once
// The exit statuses shared by lumivex, lumivex-cli and scripts/run: one
// table, printed in each one's --help and in the README.

namespace lumivex {

enum ExitStatus : int {
    kExitDone = 0,         // done (the collector accepted the report); --help, --version
    kExitFailed = 1,       // the measurement ended without an accepted report
    kExitUsage = 2,        // bad command line: nothing was started
    kExitNoAgent = 3,      // the agent could not be reached, or could not start
    kExitTimeout = 4,      // a wait for the agent ran out
    kExitSetup = 5,        // scripts/run: the build or a local test server failed
    kExitInterrupted = 130,  // SIGINT (Ctrl-C)
    kExitTerminated = 143,   // SIGTERM or SIGHUP
};

inline constexpr const char* kExitStatusTable =
    "exit status (the same for lumivex, lumivex-cli and scripts/run):\n"
    "  0    done: the collector accepted the report (also --help, --version)\n"
    "  1    the measurement ended without an accepted report\n"
    "  2    bad command line: nothing was started\n"
    "  3    the agent could not be reached, or could not start\n"
    "  4    a wait for the agent ran out\n"
    "  5    scripts/run: the build or a local test server failed\n"
    "  130  interrupted by SIGINT (Ctrl-C); 143 by SIGTERM or SIGHUP\n";

}  // namespace lumivex

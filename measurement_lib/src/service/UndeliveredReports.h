#pragma once
// Reports the collector did not accept are kept as files in the agent's
// private data directory, so that no measurement is lost:
//   $XDG_DATA_HOME/lumivex/undelivered-reports/   (XDG_DATA_HOME absolute)
//   $HOME/.local/share/lumivex/undelivered-reports/   otherwise
// Both folders are made 0700 whatever the umask and must be real folders
// owned by the user; a file is created new (never through a symlink, never
// over an existing file) with mode 0600.

#include <optional>
#include <string>

namespace trevask::measurement_library {

class UndeliveredReports {
public:
    // The folder the reports go to (not created here); no value when neither
    // XDG_DATA_HOME nor HOME gives an absolute path.
    static std::optional<std::string> directory();

    // Writes `report` to a new file and returns its path; on failure no
    // value, and `error` (when given) says why.
    static std::optional<std::string> keep(const std::string& report, std::string* error = nullptr);
};

}  // namespace trevask::measurement_library

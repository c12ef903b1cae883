#pragma once
// A folder only this user can use, for the agent's own files.

#include <filesystem>
#include <string>

namespace lumivex::platform {

// Opens the folder at path, creating it (mode 0700, whatever the umask) when
// missing, and makes sure only this user can use it: a symlink or a folder
// of another user is refused (-1, and why); a folder of ours that others may
// enter is closed to them. Missing parents are created 0700 as well. The
// caller closes the descriptor.
int openPrivateDirectory(const std::filesystem::path& path, std::string& why);

}  // namespace lumivex::platform

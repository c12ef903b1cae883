#pragma once
// Reading and writing the agent's small text files (agent UUID, control
// document). Relative paths are taken from the current working directory.

#include <fstream>
#include <string>

namespace trevask::measurement_library {

class FileHelper {
public:
    // A stream on `path`; not open when nothing exists there (announced on
    // standard error as "File: '<path>' not found"). Throws
    // std::filesystem::filesystem_error when the current directory or the
    // path's status cannot be read.
    static std::ifstream openInputFile(const std::string& path);
    // The whole text of the file; empty for a missing file or a directory.
    // Throws as openInputFile does.
    static std::string readFile(const std::string& path);
    // Replaces the file's content with `content` (created when missing;
    // parent folders are not created). False when the file could not be
    // opened or written; never throws.
    static bool writeToFile(const std::string& path, const std::string& content);
};

}  // namespace trevask::measurement_library

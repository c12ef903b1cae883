#pragma once
// An empty scratch folder for one test.

#include <unistd.h>

#include <filesystem>
#include <string>

namespace diagnostics_test {

// <temp>/lumivex-<area>-<name>-<pid>, emptied of what an earlier run left.
inline std::filesystem::path freshFolder(const std::string& area, const std::string& name) {
    auto folder = std::filesystem::temp_directory_path() /
                  ("lumivex-" + area + "-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

}  // namespace diagnostics_test

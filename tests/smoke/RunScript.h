#pragma once
// scripts/run as a child process, the way a terminal runs it: in a process
// group of its own (the foreground group a Ctrl-C reaches), standard output
// read through a pipe, every wait bounded. The environment carries a mark
// that every process the script starts inherits, so a test can find any
// that was left behind.

#include "ChildProcess.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace smoke_test {

using namespace std::chrono_literals;

inline std::string sourceDir() { return LUMIVEX_SOURCE_DIR; }
inline std::string binaryDir() { return LUMIVEX_BINARY_DIR; }

using lumivex::test::Child;
using lumivex::test::ChildOptions;
using lumivex::test::ExitStatus;
using lumivex::test::readFile;

// A directory in the temporary folder, removed with its contents at the end.
class TempDir : public lumivex::test::TempDir {
public:
    TempDir() : lumivex::test::TempDir((std::filesystem::temp_directory_path() / "lumivex-smoke-XXXXXX").string()) {}
};

inline std::string randomMark() {
    std::random_device device;
    std::ostringstream text;
    text << std::hex << device() << device();
    return text.str();
}

// Processes (other than this one) whose environment holds NAME=VALUE.
inline std::vector<int> processesWith(const std::string& entry) {
    std::vector<int> found;
    std::error_code ec;
    for (const auto& dir : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = dir.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const int pid = std::stoi(name);
        if (pid == ::getpid()) continue;
        std::ifstream in(dir.path() / "environ", std::ios::binary);
        std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t at = 0;
        while (at < env.size()) {
            const std::size_t end = env.find('\0', at);
            if (env.compare(at, (end == std::string::npos ? env.size() : end) - at, entry) == 0) {
                found.push_back(pid);
                break;
            }
            if (end == std::string::npos) break;
            at = end + 1;
        }
    }
    return found;
}

// scripts/run with `args`; the mark (inherited by every process it starts),
// TMPDIR and `extraEnv` are added to this process's environment.
class ScriptRun : public Child {
public:
    ScriptRun(const std::vector<std::string>& args, const std::string& mark, const std::string& tmpDir,
              const std::vector<std::string>& extraEnv, const std::string& errFile)
        : Child(argvOf(args), ChildOptions{environmentOf(mark, tmpDir, extraEnv), "", "", errFile, true}) {}

private:
    static std::vector<std::string> argvOf(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/bin/bash", sourceDir() + "/scripts/run"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    static std::vector<std::string> environmentOf(const std::string& mark, const std::string& tmpDir,
                                                  std::vector<std::string> extraEnv) {
        extraEnv.push_back("LUMIVEX_SMOKE_MARK=" + mark);
        extraEnv.push_back("TMPDIR=" + tmpDir);
        return extraEnv;
    }
};

// Waits (bounded) until no process carries the mark; returns those left.
inline std::vector<int> leftOver(const std::string& mark, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto found = processesWith("LUMIVEX_SMOKE_MARK=" + mark);
    while (!found.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        found = processesWith("LUMIVEX_SMOKE_MARK=" + mark);
    }
    return found;
}

inline std::string describe(const std::vector<int>& pids) {
    std::string text;
    for (int pid : pids) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (auto& c : cmd) c = c == '\0' ? ' ' : c;
        text += std::to_string(pid) + ": " + cmd + "\n";
    }
    return text;
}

// Everything left in a directory (names only).
inline std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) names.push_back(e.path().string());
    return names;
}

inline bool namespacesPermitted() {
    return std::system("unshare -mn true >/dev/null 2>&1") == 0 || std::system("unshare -rmn true >/dev/null 2>&1") == 0;
}

}  // namespace smoke_test

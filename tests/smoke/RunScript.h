#pragma once
// scripts/run as a child process, the way a terminal runs it: in a process
// group of its own (the foreground group a Ctrl-C reaches), standard output
// read through a pipe, every wait bounded. The environment carries a mark
// that every process the script starts inherits, so a test can find any
// that was left behind.

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace smoke_test {

using namespace std::chrono_literals;

inline std::string sourceDir() { return LUMIVEX_SOURCE_DIR; }
inline std::string binaryDir() { return LUMIVEX_BINARY_DIR; }

// A directory removed with its contents at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-smoke-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
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

struct ExitStatus {
    bool exited = false;
    int code = -1;
    int signal = 0;
    std::string text() const { return exited ? "exit " + std::to_string(code) : "signal " + std::to_string(signal); }
};

// A child process in a process group of its own, standard output read
// through a pipe, standard error in a file. Killed with its group when the
// object goes and it still runs.
class Child {
public:
    // `extraEnv` entries ("NAME=VALUE") replace those of this process's
    // environment of the same name.
    Child(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, const std::string& errFile) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const auto& x : extraEnv) {
                if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
            }
            if (!replaced) env.push_back(entry);
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        for (auto& s : env) e.push_back(s.data());
        e.push_back(nullptr);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = ::open("/dev/null", O_RDONLY);
            if (err < 0 || in < 0) ::_exit(126);
            ::dup2(fds[1], 1);
            ::dup2(err, 2);
            ::dup2(in, 0);
            ::execve(a[0], a.data(), e.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
        if (pid_ > 0) ::setpgid(pid_, pid_);  // either side may get there first
    }
    ~Child() {
        if (pid_ > 0 && !status_) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && out_ >= 0; }
    // What the terminal's Ctrl-C does: the signal to the foreground group.
    void interrupt() const { ::kill(-pid_, SIGINT); }

    const std::string& output() const { return output_; }

    // Reads until the output holds `text` (true) or the bound passes, or the
    // output ends (false).
    bool readUntil(const std::string& text, std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (output_.find(text) == std::string::npos) {
            if (!readSome(deadline)) return false;
        }
        return true;
    }

    // Reads to the end of the output and waits for the exit, within `bound`.
    std::optional<ExitStatus> finish(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (readSome(deadline)) {
        }
        while (!status_) {
            int raw = 0;
            const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
            if (r == pid_) {
                ExitStatus s;
                s.exited = WIFEXITED(raw);
                s.code = s.exited ? WEXITSTATUS(raw) : -1;
                s.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
                status_ = s;
                break;
            }
            if (r < 0 || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }

private:
    // False at the end of the output or past the deadline.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        if (out_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::chrono::steady_clock::now() < deadline;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::optional<ExitStatus> status_;
};

// scripts/run with `args`; the mark (inherited by every process it starts),
// TMPDIR and `extraEnv` are added to this process's environment.
class ScriptRun : public Child {
public:
    ScriptRun(const std::vector<std::string>& args, const std::string& mark, const std::string& tmpDir,
              const std::vector<std::string>& extraEnv, const std::string& errFile)
        : Child(argvOf(args), environmentOf(mark, tmpDir, extraEnv), errFile) {}

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

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace smoke_test

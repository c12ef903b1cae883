#pragma once
// Programs of this build run by tests as child processes: a temporary
// directory, the environment with entries replaced, a child whose output is
// read through a pipe (or written to a file), and every wait bounded. A
// child still running when its object goes is killed.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace lumivex::test {

// A directory made from a mkdtemp pattern ("…XXXXXX", so only this user can
// enter it), removed with its contents at the end.
class TempDir {
public:
    explicit TempDir(std::string pattern) {
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

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ExitStatus {
    bool exited = false;  // false: ended by a signal
    int code = -1;
    int signal = 0;
    std::string text() const { return exited ? "exit " + std::to_string(code) : "signal " + std::to_string(signal); }
};

// This process's environment with `extra` ("NAME=VALUE") replacing the
// entries of the same name; "NAME=" alone removes NAME.
inline std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& x : extra) {
            if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    for (const auto& x : extra) {
        if (x.back() != '=') env.push_back(x);
    }
    return env;
}

struct ChildOptions {
    std::vector<std::string> env;  // entries for environmentWith
    std::string cwd;               // empty: this process's
    std::string out;               // a file for standard output; empty: a pipe
    std::string err = "/dev/null";
    bool ownGroup = false;  // a process group of its own, as a terminal's foreground job
};

class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd,
          const std::string& out, const std::string& err)
        : Child(argv, ChildOptions{env, cwd, out, err, false}) {}
    Child(const std::vector<std::string>& argv, const ChildOptions& options) : ownGroup_(options.ownGroup) {
        int pipeFds[2] = {-1, -1};
        if (options.out.empty() && ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
        const std::vector<std::string> env = environmentWith(options.env);
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (options.ownGroup) ::setpgid(0, 0);
            // The child starts with the default handling of the signals a
            // test sends, however the test itself was started.
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
            const int o = options.out.empty() ? pipeFds[1] : ::open(options.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = ::open(options.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = ::open("/dev/null", O_RDONLY);
            if (o < 0 || e < 0 || in < 0) ::_exit(126);
            ::dup2(o, 1);
            ::dup2(e, 2);
            ::dup2(in, 0);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        if (options.out.empty()) {
            ::close(pipeFds[1]);
            outFd_ = pipeFds[0];
        }
        if (pid_ > 0 && options.ownGroup) ::setpgid(pid_, pid_);  // either side may get there first
    }
    ~Child() {
        if (running()) {
            ::kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) ::close(outFd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    bool running() const { return pid_ > 0 && !status_; }
    void signal(int sig) const {
        if (running()) ::kill(pid_, sig);
    }
    // What a terminal's Ctrl-C does: SIGINT to the child's process group.
    void interrupt() const {
        if (running()) ::kill(ownGroup_ ? -pid_ : pid_, SIGINT);
    }

    // The standard output read so far.
    const std::string& output() const { return output_; }

    // Reads until the output holds `text` (true), or the bound passes or the
    // output ends (false).
    bool readUntil(const std::string& text, std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (output_.find(text) == std::string::npos) {
            if (!readSome(deadline)) return false;
        }
        return true;
    }

    // Reads the output until it ends, at most `bound`; all of it.
    const std::string& readAll(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (readSome(deadline)) {
        }
        return output_;
    }

    // Waits for the end, at most `bound`; no value when it still runs.
    std::optional<ExitStatus> wait(std::chrono::milliseconds bound) {
        using namespace std::chrono_literals;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!status_ && pid_ > 0) {
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
            std::this_thread::sleep_for(5ms);
        }
        return status_;
    }

    // Reads to the end of the output and waits for the exit, within `bound`.
    std::optional<ExitStatus> finish(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        readAll(bound);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return wait(std::max(left, std::chrono::milliseconds(0)));
    }

private:
    // False at the end of the output or past the deadline.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        if (outFd_ < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{outFd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::chrono::steady_clock::now() < deadline;
        char buffer[4096];
        const ssize_t n = ::read(outFd_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(outFd_);
            outFd_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    bool ownGroup_ = false;
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string output_;
    std::optional<ExitStatus> status_;
};

}  // namespace lumivex::test

#pragma once
// The real agent executable and the command-line UI as child processes:
// a private directory for the socket, the agent started with its output in
// files, the driver run to its end with its output lines parsed. Every wait
// is bounded; a child still running at the end is killed.

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bridge_test {

using namespace std::chrono_literals;

// The agent's channels.
inline const std::string kVela = "at.trevask.lumivex/vela";
inline const std::string kStatus = "at.trevask.lumivex/vela-results/measurement-status";
inline const std::string kQos = "at.trevask.lumivex/vela-results/qos";
inline const std::string kSystem = "at.trevask.lumivex/system";
inline const std::string kSentry = "at.trevask.lumivex/sentry";
inline const std::string kHistory = "at.trevask.lumivex/history";
inline const std::string kSettings = "at.trevask.lumivex/settings";
inline const std::string kMonthly = "at.trevask.lumivex/monthly-measurements";
inline const std::string kNews = "at.trevask.lumivex/news-entry";
inline const std::string kMap = "at.trevask.lumivex/map";
inline const std::string kCertified = "at.trevask.lumivex/certified-measurement";
inline const std::string kCollector = "at.trevask.lumivex/informationCollector";
inline const std::string kStream = "at.trevask.lumivex/informationCollector/stream";

inline std::string binaryDir() { return LUMIVEX_BINARY_DIR; }
inline std::string agentBinary() { return binaryDir() + "/runner/lumivex"; }
inline std::string driverBinary() { return binaryDir() + "/cli/lumivex-cli"; }

// A directory only this user can enter (mkdtemp makes it 0700), removed
// with its contents at the end.
class PrivateDir {
public:
    PrivateDir() {
        std::string pattern = "/tmp/lumivex-bridge-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~PrivateDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct ExitStatus {
    bool exited = false;  // false: ended by a signal
    int code = -1;
    int signal = 0;
    std::string text() const {
        return exited ? "exit " + std::to_string(code) : "signal " + std::to_string(signal);
    }
};

inline std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& x : extra) {
            if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    for (const auto& x : extra) {
        if (x.back() != '=') env.push_back(x);  // "NAME=" removes NAME
    }
    return env;
}

// A child process; killed when the object goes and it still runs.
class Child {
public:
    // stdout goes to `out` (a file path) or, when `out` is empty, to a pipe
    // that readAll drains; stderr goes to `err`.
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, const std::string& cwd,
          const std::string& out, const std::string& err) {
        int pipeFds[2] = {-1, -1};
        if (out.empty() && ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
        std::vector<std::string> env = environmentWith(extraEnv);
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // The child starts with the default handling of the signals a
            // test sends, however the test itself was started.
            for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
            int o = out.empty() ? pipeFds[1] : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (o < 0 || e < 0) ::_exit(126);
            ::dup2(o, 1);
            ::dup2(e, 2);
            int devNull = ::open("/dev/null", O_RDONLY);
            if (devNull >= 0) ::dup2(devNull, 0);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        if (out.empty()) {
            ::close(pipeFds[1]);
            outFd_ = pipeFds[0];
        }
    }
    ~Child() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (outFd_ >= 0) ::close(outFd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status_; }
    void signal(int sig) const {
        if (running()) ::kill(pid_, sig);
    }

    // Waits for the end, at most `bound`; no value when it still runs.
    std::optional<ExitStatus> wait(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!status_) {
            int raw = 0;
            pid_t r = ::waitpid(pid_, &raw, WNOHANG);
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

    // Reads the stdout pipe until it closes, at most `bound`.
    std::string readAll(std::chrono::milliseconds bound) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (outFd_ >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{outFd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[4096];
            ssize_t n = ::read(outFd_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::optional<ExitStatus> status_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Waits (bounded) until `path` exists.
inline bool waitForFile(const std::string& path, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!exists(path)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// One run of the command-line UI: its exit, and every output line parsed.
struct DriverRun {
    std::optional<ExitStatus> status;
    std::string output;
    std::vector<boost::json::object> lines;

    // The lines that answer `method` on `channel`, in order.
    std::vector<boost::json::object> replies(const std::string& channel, const std::string& method) const {
        std::vector<boost::json::object> out;
        for (const auto& l : lines) {
            if (l.contains("method") && l.at("channel") == boost::json::value(channel) &&
                l.at("method") == boost::json::value(method)) {
                out.push_back(l);
            }
        }
        return out;
    }
    // The events of `channel`, in order.
    std::vector<boost::json::object> events(const std::string& channel) const {
        std::vector<boost::json::object> out;
        for (const auto& l : lines) {
            if (l.contains("event") && l.at("event") == boost::json::value(channel)) out.push_back(l);
        }
        return out;
    }
};

inline DriverRun runDriver(const std::string& socket, const std::vector<std::string>& steps,
                           std::chrono::milliseconds bound = 30s, long timeoutMs = 5000,
                           const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> argv{driverBinary()};
    if (!socket.empty()) {
        argv.push_back("--socket");
        argv.push_back(socket);
    }
    argv.push_back("--timeout-ms");
    argv.push_back(std::to_string(timeoutMs));
    argv.insert(argv.end(), steps.begin(), steps.end());
    Child driver(argv, extraEnv, "", "", "/dev/null");
    DriverRun run;
    run.output = driver.readAll(bound);
    run.status = driver.wait(2s);
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        boost::system::error_code ec;
        auto value = boost::json::parse(line, ec);
        if (!ec && value.is_object()) run.lines.push_back(value.as_object());
    }
    return run;
}

// Steps of one method call.
inline std::vector<std::string> call(const std::string& channel, const std::string& method, const std::string& json) {
    return {"--call", channel, method, json};
}

inline std::string text(const boost::json::value& v) {
    return v.is_string() ? std::string(v.as_string()) : boost::json::serialize(v);
}

}  // namespace bridge_test

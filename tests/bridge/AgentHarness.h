#pragma once
// The real agent executable and the command-line UI as child processes:
// a private directory for the socket, the agent started with its output in
// files, the driver run to its end with its output lines parsed. Every wait
// is bounded; a child still running at the end is killed.

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include "ChildProcess.h"

#include "platform/flutter/StandardCodec.h"
#include "platform/flutter/UiWire.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

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

using lumivex::test::Child;
using lumivex::test::ExitStatus;
using lumivex::test::readFile;

// A directory only this user can enter, short enough a path for a UI
// socket, removed with its contents at the end.
class PrivateDir : public lumivex::test::TempDir {
public:
    PrivateDir() : lumivex::test::TempDir("/tmp/lumivex-bridge-XXXXXX") {}
};

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
                           const std::vector<std::string>& extraEnv = {}, const std::string& errFile = "/dev/null") {
    std::vector<std::string> argv{driverBinary()};
    if (!socket.empty()) {
        argv.push_back("--socket");
        argv.push_back(socket);
    }
    argv.push_back("--timeout-ms");
    argv.push_back(std::to_string(timeoutMs));
    argv.insert(argv.end(), steps.begin(), steps.end());
    Child driver(argv, extraEnv, "", "", errFile);
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

// A raw UI connection to `path`, blocking, with reads bounded by
// `readBound`; -1 when the connection fails.
inline int connectRaw(const std::string& path, std::chrono::milliseconds readBound = 10s) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{static_cast<time_t>(readBound.count() / 1000), static_cast<suseconds_t>(readBound.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// The encoded frame of a method call.
inline std::vector<std::uint8_t> callFrame(std::uint32_t id, const std::string& channel, const std::string& method,
                                           const flutter::EncodableValue& arguments = flutter::EncodableValue()) {
    flutter::wire::Frame f;
    f.kind = flutter::wire::FrameKind::Message;
    f.id = id;
    f.channel = channel;
    f.payload = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(flutter::MethodCall(method, arguments));
    return flutter::wire::encodeFrame(f);
}

// Steps of one method call.
inline std::vector<std::string> call(const std::string& channel, const std::string& method, const std::string& json) {
    return {"--call", channel, method, json};
}

inline std::string text(const boost::json::value& v) {
    return v.is_string() ? std::string(v.as_string()) : boost::json::serialize(v);
}

}  // namespace bridge_test

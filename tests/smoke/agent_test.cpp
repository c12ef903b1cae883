// lumivex-cli measure against a real agent and the loopback peers, each a
// process: the cause of a failed step named in the summary, the exit status
// of each outcome, JSON lines a program reads in one pass, and the figures
// seen so far printed on Ctrl-C. Each case is short: no speed test runs.

#include "RunScript.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <memory>
#include <regex>

namespace json = boost::json;
using namespace smoke_test;

namespace {

std::string bin(const std::string& path) { return binaryDir() + path; }

// Bounds the resolver: this machine may name a DNS server it cannot reach.
const std::string kQuickResolver = "RES_OPTIONS=timeout:1 attempts:1";

// A peer whose first line on standard output is its ports.
class Peer {
public:
    Peer(const TempDir& dir, const std::string& name, std::vector<std::string> argv)
        : out_(dir.file(name + ".out")),
          child_(argv, ChildOptions{{kQuickResolver}, "", out_, dir.file(name + ".err"), true}) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline && child_.running()) {
            const std::string text = readFile(out_);
            if (const auto end = text.find('\n'); end != std::string::npos) {
                line_ = text.substr(0, end);
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    const std::string& line() const { return line_; }
    int port(const char* key) const {
        boost::system::error_code ec;
        auto v = json::parse(line_, ec);
        return ec || !v.is_object() || !v.as_object().contains(key) ? 0 : v.at(key).to_number<int>();
    }

private:
    std::string out_;
    Child child_;
    std::string line_;
};

// The agent on a private socket; ready once the socket is there.
class Agent {
public:
    explicit Agent(const TempDir& dir)
        : socket_(dir.file("ui.sock")),
          child_({bin("/runner/lumivex")},
                 ChildOptions{{"LUMIVEX_UI_SOCKET=" + socket_, kQuickResolver}, "", dir.file("agent.out"),
                              dir.file("agent.err"), true}) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!std::filesystem::exists(socket_) && child_.running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
    }
    const std::string& socket() const { return socket_; }
    bool ready() const { return std::filesystem::exists(socket_); }

private:
    std::string socket_;
    Child child_;
};

struct CliRun {
    std::optional<ExitStatus> status;
    std::string out;
    std::string err;
};

std::unique_ptr<Child> startCli(const TempDir& dir, const std::string& socket, const std::vector<std::string>& args,
                                std::vector<std::string> env = {}) {
    std::vector<std::string> argv{bin("/cli/lumivex-cli"), "--socket", socket, "--timeout-ms", "20000"};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back(kQuickResolver);
    return std::make_unique<Child>(argv, ChildOptions{env, "", "", dir.file("cli.err"), true});
}

CliRun finishCli(const TempDir& dir, Child& cli, std::chrono::milliseconds bound) {
    CliRun run;
    run.status = cli.finish(bound);
    run.out = cli.output();
    run.err = readFile(dir.file("cli.err"));
    return run;
}

// A TCP port on 127.0.0.1 that is bound but not listening: a connection to
// it is refused for as long as the socket is held.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
            port_ = ntohs(a.sin_port);
        }
    }
    ~RefusingPort() {
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

struct Cause {
    std::string name;
    std::vector<std::string> backendArgs;  // empty: no back end
    std::string controller;                // "{backend}" or "{refused}" filled in
    std::vector<std::string> measureArgs;
    std::string step;
    std::string cause;  // a regular expression
};

// Each cause is named in the summary beside the agent's own answer, with
// the step that failed; the run ends with status 1.
TEST(MeasureFailure, TheSummaryNamesTheStepAndTheCause) {
    const std::vector<Cause> cases{
        {"refused", {}, "http://127.0.0.1:{refused}", {}, "registration",
         "connection refused by 127\\.0\\.0\\.1:[0-9]+"},
        {"unresolvable", {}, "http://lumivex-no-such-host.invalid:8080", {}, "registration",
         "cannot resolve lumivex-no-such-host\\.invalid"},
        {"HTTP 500", {"--misbehave", "registration=500-no-data"}, "{backend}", {}, "registration",
         "HTTP 500 .*from 127\\.0\\.0\\.1:[0-9]+"},
        {"silent", {"--misbehave", "registration=silent"}, "{backend}", {}, "registration",
         "no answer within 5 s from 127\\.0\\.0\\.1:[0-9]+"},
        {"control document HTTP 500", {"--misbehave", "control=500"}, "{backend}", {"--agent-uuid", "a-1"},
         "control document", "HTTP 500 .*from 127\\.0\\.0\\.1:[0-9]+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RefusingPort refused;
        std::unique_ptr<Peer> backend;
        std::string controller = c.controller;
        if (!c.backendArgs.empty()) {
            std::vector<std::string> argv{bin("/tests/peers/backend/backend"), "--max-seconds", "120"};
            argv.insert(argv.end(), c.backendArgs.begin(), c.backendArgs.end());
            backend = std::make_unique<Peer>(dir, "backend", argv);
            ASSERT_GT(backend->port("http_port"), 0) << readFile(dir.file("backend.err"));
            controller = "http://127.0.0.1:" + std::to_string(backend->port("http_port"));
        }
        controller = std::regex_replace(controller, std::regex("\\{refused\\}"), std::to_string(refused.port()));
        Agent agent(dir);
        ASSERT_TRUE(agent.ready()) << readFile(dir.file("agent.err"));
        std::vector<std::string> args{"--json", "measure", "--controller", controller, "--no-speed"};
        args.insert(args.end(), c.measureArgs.begin(), c.measureArgs.end());
        auto cli = startCli(dir, agent.socket(), args);
        CliRun run = finishCli(dir, *cli, 60s);
        ASSERT_TRUE(run.status) << "did not end\n" << run.out;
        EXPECT_TRUE(run.status->exited && run.status->code == 1) << run.status->text() << "\n" << run.out << run.err;
        const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
        boost::system::error_code ec;
        const json::value line = json::parse(last, ec);
        ASSERT_FALSE(ec) << last;
        const json::object& summary = line.at("summary").as_object();
        EXPECT_EQ(summary.at("failedStep"), json::value(c.step)) << last;
        const std::string cause(summary.at("cause").as_string());
        EXPECT_TRUE(std::regex_search(cause, std::regex(c.cause))) << cause;
        // The agent's own answer stays beside it.
        EXPECT_FALSE(summary.at("agentAnswer").as_string().empty()) << last;
        const std::string failure(summary.at("failure").as_string());
        EXPECT_NE(failure.find(cause), std::string::npos) << failure;
    }
}

// The QoS peers of a short QoS-only measurement.
struct QosPeers {
    explicit QosPeers(const TempDir& dir, std::vector<std::string> qosArgs = {}) {
        std::vector<std::string> argv{bin("/tests/peers/qos_server/qos_server"), "--max-seconds", "120",
                                      "--tcp-ports", "3", "--udp-ports", "2"};
        argv.insert(argv.end(), qosArgs.begin(), qosArgs.end());
        qos = std::make_unique<Peer>(dir, "qos_server", argv);
        backend = std::make_unique<Peer>(dir, "backend",
                                         std::vector<std::string>{bin("/tests/peers/backend/backend"), "--max-seconds",
                                                                  "120", "--qos-server", qos->line(), "--speed-server",
                                                                  R"({"tcp_port":9,"udp_port":9})"});
    }
    std::string controller() const { return "http://127.0.0.1:" + std::to_string(backend->port("http_port")); }
    std::unique_ptr<Peer> qos;
    std::unique_ptr<Peer> backend;
};

// Every line is one JSON object with a type and a time, parsed once: no
// value is a JSON text inside a string. The last line is the summary.
TEST(MeasureJson, EveryLineParsesOnceWithTypeAndTimeAndTheSummaryLast) {
    TempDir dir;
    QosPeers peers(dir);
    ASSERT_GT(peers.backend->port("http_port"), 0) << readFile(dir.file("backend.err"));
    Agent agent(dir);
    ASSERT_TRUE(agent.ready()) << readFile(dir.file("agent.err"));
    auto cli = startCli(dir, agent.socket(),
                        {"--json", "measure", "--controller", peers.controller(), "--no-speed", "--qos-types", "tcp"});
    CliRun run = finishCli(dir, *cli, 90s);
    ASSERT_TRUE(run.status);
    EXPECT_TRUE(run.status->exited && run.status->code == 0) << run.status->text() << "\n" << run.out << run.err;

    std::function<void(const json::value&, const std::string&)> noJsonText = [&](const json::value& v,
                                                                                 const std::string& where) {
        if (v.is_string()) {
            boost::system::error_code ec;
            const json::value inner = json::parse(v.as_string(), ec);
            EXPECT_TRUE(ec || !(inner.is_object() || inner.is_array())) << where << ": " << v;
        } else if (v.is_object()) {
            for (const auto& m : v.as_object()) noJsonText(m.value(), where);
        } else if (v.is_array()) {
            for (const auto& e : v.as_array()) noJsonText(e, where);
        }
    };
    std::istringstream in(run.out);
    std::vector<json::object> lines;
    std::size_t events = 0;
    for (std::string text; std::getline(in, text);) {
        boost::system::error_code ec;
        const json::value v = json::parse(text, ec);
        ASSERT_FALSE(ec) << text;
        ASSERT_TRUE(v.is_object()) << text;
        const json::object& o = v.as_object();
        ASSERT_TRUE(o.contains("type") && o.at("type").is_string()) << text;
        ASSERT_TRUE(o.contains("time") && o.at("time").is_string()) << text;
        EXPECT_TRUE(std::regex_match(std::string(o.at("time").as_string()),
                                     std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z")))
            << text;
        noJsonText(v, text);
        events += o.at("type") == "event" ? 1 : 0;
        lines.push_back(o);
    }
    ASSERT_FALSE(lines.empty());
    EXPECT_GT(events, 0u);
    EXPECT_EQ(lines.back().at("type"), "summary");
    EXPECT_EQ(lines.back().at("summary").at("accepted"), json::value(true)) << run.out;
}

// Ctrl-C during the QoS tests: the figures seen so far, marked as partial,
// then "stopped", and the status of an interrupt.
TEST(MeasureInterrupted, CtrlCPrintsThePartialFiguresBeforeStopped) {
    TempDir dir;
    // Test connections that never answer keep the QoS tests running.
    QosPeers peers(dir, {"--silent-test-connections"});
    ASSERT_GT(peers.backend->port("http_port"), 0) << readFile(dir.file("backend.err"));
    Agent agent(dir);
    ASSERT_TRUE(agent.ready()) << readFile(dir.file("agent.err"));
    auto cli = startCli(dir, agent.socket(),
                        {"measure", "--controller", peers.controller(), "--no-speed", "--qos-types", "TCP,udp"});
    // The phase line (output that is not a terminal gets one per phase)
    // comes with the first QoS event, which names the QoS types.
    ASSERT_TRUE(cli->readUntil("\nQoS tests\n", 30s)) << cli->output() << readFile(dir.file("cli.err"));
    cli->interrupt();
    CliRun run = finishCli(dir, *cli, 20s);
    ASSERT_TRUE(run.status) << "did not end after Ctrl-C\n" << run.out;
    EXPECT_TRUE(run.status->exited && run.status->code == 130) << run.status->text() << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find("Measurement stopped before its end: the figures below are partial"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("QoS tests (partial)"), std::string::npos) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\\n  TCP +(done|not finished)"))) << run.out;
    EXPECT_EQ(run.err, "lumivex-cli: stopped\n");
}

// One case per exit status that needs an agent (the others: in the help
// check and the scripts/run tests).
TEST(ExitStatus, UnreachableAgentTimeoutAndAgentThatCannotStart) {
    TempDir dir;
    // 3: no agent on the socket.
    {
        auto cli = startCli(dir, dir.file("nobody.sock"),
                            {"--timeout-ms", "1000", "--listen", "at.trevask.lumivex/vela-results/qos"});
        CliRun run = finishCli(dir, *cli, 20s);
        ASSERT_TRUE(run.status);
        EXPECT_TRUE(run.status->exited && run.status->code == 3) << run.status->text() << run.err;
    }
    Agent agent(dir);
    ASSERT_TRUE(agent.ready()) << readFile(dir.file("agent.err"));
    // 3: a second agent on the same socket does not start.
    {
        Child second({bin("/runner/lumivex")}, ChildOptions{{"LUMIVEX_UI_SOCKET=" + agent.socket()}, "",
                                                            dir.file("second.out"), dir.file("second.err"), true});
        auto status = second.wait(20s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 3) << status->text() << readFile(dir.file("second.err"));
    }
    // 4: a wait for the agent runs out.
    {
        std::vector<std::string> argv{bin("/cli/lumivex-cli"), "--socket", agent.socket(), "--timeout-ms", "300",
                                      "--listen", "at.trevask.lumivex/vela-results/qos", "--events", "1"};
        Child cli(argv, ChildOptions{{}, "", "", dir.file("cli.err"), true});
        auto status = cli.finish(20s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 4) << status->text() << readFile(dir.file("cli.err"));
    }
}

}  // namespace

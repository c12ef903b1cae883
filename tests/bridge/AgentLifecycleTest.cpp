// The agent's life as a desktop process, driven by the command-line UI
// against the loopback back end and QoS server: the UI socket is private and
// never taken from a live agent; a UI that leaves, or a signal, during a
// measurement ends the process in order (the measurement finishes and its
// report goes out, the socket file goes, exit status 0); a second call
// during a measurement leaves the UI answered; the measurement status
// carries the collector's texts as valid JSON.

#include "AgentHarness.h"

#include "BackendServer.h"
#include "QosServer.h"

using namespace bridge_test;
namespace json = boost::json;
using lumivex::test::BackendServer;
using lumivex::test::ChildOptions;
using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;

namespace {


// A control document with one QoS TCP objective against the QoS server,
// reporting to the back end's collector.
std::string controlDocument(const QosServer& qos, const BackendServer& backend, const std::string& timeoutNs) {
    json::array tcp{json::object{{"qostest", "TCP"},
                                 {"qos_test_uid", "101"},
                                 {"concurrency_group", 1},
                                 {"timeout", timeoutNs},
                                 {"out_port", std::to_string(qos.tcpTestPorts().at(0))}}};
    json::array options{
        json::object{{"name", "server_addr"}, {"value", "127.0.0.1"}},
        json::object{{"name", "server_port"}, {"value", std::to_string(qos.controlPort())}},
        json::object{{"name", "encryption"}, {"value", "false"}},
        json::object{{"name", "qos"},
                     {"value", ""},
                     {"measurement-parameters",
                      json::object{{"deserialize_type", "qos_params"}, {"objectives", {{"TCP", tcp}}}}}}};
    json::object action{{"name", "report"},
                        {"task", "QOS"},
                        {"option", json::array{json::object{{"name", "result_collector_base_url"},
                                                            {"value", backend.collectorUrl()}}}}};
    json::object document{
        {"tasks", json::array{json::object{{"name", "QOS"}, {"option", options}, {"program", ""}}}},
        {"schedules", json::array{json::object{{"name", "now"}, {"action", json::array{action}}}}}};
    return json::serialize(document);
}

std::string startParameters(const BackendServer& backend) {
    return json::serialize(json::object{{"controllerUrl", backend.controllerUrl()},
                                        {"performSpeed", false},
                                        {"performQos", true},
                                        {"performQosType", {{"TCP", true}}}});
}

class AgentLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }

    std::unique_ptr<Child> startAgent(const std::vector<std::string>& env, const std::string& name = "agent") {
        return std::make_unique<Child>(std::vector<std::string>{agentBinary()}, env, dir.path(),
                                       dir.file(name + ".out"), dir.file(name + ".err"));
    }
    std::unique_ptr<Child> startAgent() { return startAgent({"LUMIVEX_UI_SOCKET=" + socket}); }

    // Expects an orderly end: the agent ends when its UI has gone, or is
    // asked to quit.
    void quit(Child& agent, const std::string& path, const std::string& name = "agent") {
        auto status = agent.wait(5s);
        if (!status) {
            runDriver(path, {"--quit"});
            status = agent.wait(20s);
        }
        ASSERT_TRUE(status) << "the agent did not end";
        EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file(name + ".err"));
        EXPECT_FALSE(exists(path));
        EXPECT_FALSE(exists(path + ".lock"));
    }

    PrivateDir dir;
    std::string socket = dir.file("ui.sock");
};

TEST_F(AgentLifecycleTest, TheSocketIsPrivateAndASecondAgentRefusesToTakeIt) {
    auto first = startAgent();
    ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    struct stat st {};
    ASSERT_EQ(::lstat(socket.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto second = startAgent({"LUMIVEX_UI_SOCKET=" + socket}, "second");
    auto status = second->wait(10s);
    ASSERT_TRUE(status) << "the second agent kept running";
    EXPECT_TRUE(status->exited && status->code != 0) << status->text();
    EXPECT_NE(readFile(dir.file("second.err")).find("another Lumivex agent is serving the UI socket " + socket),
              std::string::npos)
        << readFile(dir.file("second.err"));

    // The first agent still serves on its socket.
    DriverRun run = runDriver(socket, call(kSystem, "requestWindowScale", "null"));
    ASSERT_EQ(run.replies(kSystem, "requestWindowScale").size(), 1u) << run.output;
    EXPECT_EQ(text(run.replies(kSystem, "requestWindowScale")[0].at("reply")), "success");
    quit(*first, socket);
}

TEST_F(AgentLifecycleTest, ALeftoverSocketIsReplacedAndOtherFilesAreLeftAlone) {
    // An agent that was killed leaves its socket file behind.
    auto killed = startAgent();
    ASSERT_TRUE(waitForFile(socket, 10s));
    killed->signal(SIGKILL);
    ASSERT_TRUE(killed->wait(5s));
    ASSERT_TRUE(exists(socket));

    struct stat left {};
    ASSERT_EQ(::lstat(socket.c_str(), &left), 0);
    auto next = startAgent({"LUMIVEX_UI_SOCKET=" + socket}, "next");
    // The UI reports a socket nobody serves at once, so it waits for the
    // new agent's own socket.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (struct stat now {}; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(5ms)) {
        if (::lstat(socket.c_str(), &now) == 0 && now.st_ino != left.st_ino) break;
    }
    DriverRun run = runDriver(socket, call(kSystem, "requestWindowScale", "null"));
    ASSERT_EQ(run.replies(kSystem, "requestWindowScale").size(), 1u) << run.output << readFile(dir.file("next.err"));
    quit(*next, socket, "next");

    // Something that is not a socket is never removed.
    const std::string file = dir.file("not-a-socket");
    { std::ofstream(file) << "keep me"; }
    auto refused = startAgent({"LUMIVEX_UI_SOCKET=" + file}, "refused");
    auto status = refused->wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code != 0) << status->text();
    EXPECT_EQ(readFile(file), "keep me");
}

TEST_F(AgentLifecycleTest, TheDefaultSocketLivesInTheUsersRuntimeDirectory) {
    const std::vector<std::string> env{"LUMIVEX_UI_SOCKET=", "XDG_RUNTIME_DIR=" + dir.path()};
    auto agent = startAgent(env);
    const std::string expected = dir.file("lumivex-ui.sock");
    ASSERT_TRUE(waitForFile(expected, 10s)) << readFile(dir.file("agent.err"));
    // The command-line UI finds it the same way.
    DriverRun run = runDriver("", call(kSystem, "requestWindowScale", "null"), 30s, 5000, env);
    ASSERT_EQ(run.replies(kSystem, "requestWindowScale").size(), 1u) << run.output;
    quit(*agent, expected);
}

// A measurement that is still running when the UI leaves: the QoS server
// never answers a test command, so the TCP objective runs into its time-out.
class MeasurementFixture : public AgentLifecycleTest {
protected:
    void SetUp() override {
        AgentLifecycleTest::SetUp();
        backend.start();
        QosServerOptions options;
        options.silence = silence();
        qos = std::make_unique<QosServer>(options);
        qos->start();
        backend.setControlDocument(controlDocument(*qos, backend, "2000000000"));
        agent = startAgent();
        ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    }
    virtual QosServerOptions::Silence silence() const { return QosServerOptions::Silence::Commands; }

    // Waits until the measurement has asked for its control document.
    bool measurementStarted() {
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (backend.count(BackendServer::Endpoint::Control) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    BackendServer backend;
    std::unique_ptr<QosServer> qos;
    std::unique_ptr<Child> agent;
};

enum class Leave { Disconnect, Quit, Sigterm, Sigint };

struct LeaveCase {
    Leave leave;
    QosServerOptions::Silence silence;
};

std::string leaveName(const ::testing::TestParamInfo<int>& info) { return "run" + std::to_string(info.param); }

class LeavingDuringAMeasurement : public MeasurementFixture, public ::testing::WithParamInterface<int> {
protected:
    LeaveCase leaveCase() const {
        static const Leave kinds[] = {Leave::Disconnect, Leave::Quit, Leave::Sigterm, Leave::Sigint};
        // Most runs let the handshake succeed; every fifth one meets a QoS
        // server that never even greets.
        return {kinds[GetParam() % 4], GetParam() % 5 == 4 ? QosServerOptions::Silence::AfterAccept
                                                             : QosServerOptions::Silence::Commands};
    }
    QosServerOptions::Silence silence() const override { return leaveCase().silence; }
};

TEST_P(LeavingDuringAMeasurement, EndsTheProcessInOrder) {
    const LeaveCase c = leaveCase();
    std::vector<std::string> steps = {"--listen", kStatus, "--send", kVela, "startMeasurement",
                                      json::serialize(json::value(startParameters(backend)))};
    if (c.leave == Leave::Disconnect || c.leave == Leave::Quit) {
        steps.insert(steps.end(), {"--sleep-ms", "1000"});
        if (c.leave == Leave::Quit) steps.push_back("--quit");
    } else {
        // The UI stays; the agent is signalled, and the measurement's
        // outcome still reaches the UI: its reply and its status event.
        steps.insert(steps.end(), {"--await-replies", "--events", "1"});
    }
    Child driver([&] {
        std::vector<std::string> argv{driverBinary(), "--socket", socket, "--timeout-ms", "60000"};
        argv.insert(argv.end(), steps.begin(), steps.end());
        return argv;
    }(), {}, "", dir.file("driver.out"), dir.file("driver.err"));
    ASSERT_TRUE(measurementStarted()) << readFile(dir.file("agent.err"));
    if (c.leave == Leave::Sigterm || c.leave == Leave::Sigint) {
        std::this_thread::sleep_for(1s);
        agent->signal(c.leave == Leave::Sigterm ? SIGTERM : SIGINT);
    }
    // The objective's 2 s and, without a greeting, the 10 s handshake bound
    // the measurement; everything past them is margin for a loaded machine.
    auto status = agent->wait(40s);
    ASSERT_TRUE(status) << "the agent did not end";
    EXPECT_TRUE(status->exited && status->code == 0)
        << status->text() << "\n" << readFile(dir.file("agent.err")) << readFile(dir.file("agent.out"));
    EXPECT_FALSE(exists(socket));
    EXPECT_FALSE(exists(socket + ".lock"));
    // The measurement ran to its end and its report went out.
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Collector), 1u);
    auto driverStatus = driver.wait(20s);
    ASSERT_TRUE(driverStatus) << "the UI did not see the agent go";
    if (c.leave == Leave::Sigterm || c.leave == Leave::Sigint) {
        // The UI stayed until the outcome was delivered to it.
        EXPECT_TRUE(driverStatus->exited && driverStatus->code == 0) << driverStatus->text();
        const std::string out = readFile(dir.file("driver.out"));
        const auto at = out.find(R"("method":"startMeasurement",)");
        ASSERT_NE(at, std::string::npos) << out;
        const std::string reply = out.substr(at, out.find('\n', at) - at);
        EXPECT_NE(reply.find(R"("reply":"success")"), std::string::npos) << out;
        EXPECT_NE(out.find(R"(\"measurementState\":\"resultSent\")"), std::string::npos) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(TwentyTimes, LeavingDuringAMeasurement, ::testing::Range(0, 20), leaveName);

TEST_F(MeasurementFixture, CallsDuringAMeasurementAreAnsweredAtOnce) {
    const std::string params = json::serialize(json::value(startParameters(backend)));
    const std::string registration = json::serialize(json::object{
        {"url", backend.baseUrl()}, {"tcVersionAccepted", 1}, {"isTcAccepted", true}});
    // The first QoS progress event says the run is under way.
    DriverRun run = runDriver(socket,
                              {"--listen", kQos,
                               "--send", kVela, "startMeasurement", params,
                               "--until-event", "qos_test_state",
                               "--send", kVela, "startMeasurement", params,
                               "--send", kVela, "registerAgent", registration,
                               "--call", kSystem, "requestWindowScale", "null",
                               "--await-replies"},
                              60s, 30000);
    ASSERT_TRUE(run.status && run.status->exited && run.status->code == 0) << run.output;
    auto measurements = run.replies(kVela, "startMeasurement");
    ASSERT_EQ(measurements.size(), 2u) << run.output;
    auto scale = run.replies(kSystem, "requestWindowScale");
    auto registered = run.replies(kVela, "registerAgent");
    ASSERT_EQ(scale.size(), 1u);
    ASSERT_EQ(registered.size(), 1u);
    const auto firstDone = measurements[0].at("atMs").as_int64();
    // The first measurement succeeds; the second is refused while it runs.
    EXPECT_EQ(text(measurements[0].at("reply")), "success") << run.output;
    EXPECT_EQ(text(measurements[1].at("reply")), "error");
    EXPECT_EQ(text(measurements[1].at("code")), "Empty server response");
    // Nothing waited for the running measurement.
    EXPECT_LT(measurements[1].at("atMs").as_int64(), firstDone) << run.output;
    EXPECT_LT(scale[0].at("atMs").as_int64(), firstDone) << run.output;
    EXPECT_EQ(text(registered[0].at("reply")), "success") << run.output;
    EXPECT_LT(registered[0].at("atMs").as_int64(), firstDone) << run.output;
    // One measurement reached the back end.
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Collector), 1u);
    quit(*agent, socket);
}

class AnsweringQosServer : public MeasurementFixture {
protected:
    QosServerOptions::Silence silence() const override { return QosServerOptions::Silence::None; }
};

TEST_F(AnsweringQosServer, TheStatusEventCarriesTheCollectorsTextsAsValidJson) {
    const std::string uuid = "m-\"quoted\"-\\back\\-\n";
    const std::string openData = "o\",\"injected\":\"1";
    backend.setCollectorBody(json::serialize(json::object{{"data", {{"uuid", uuid}, {"open_data_uuid", openData}}}}));
    DriverRun run = runDriver(socket,
                              {"--listen", kStatus, "--call", kVela, "startMeasurement",
                               json::serialize(json::value(startParameters(backend))), "--events", "1"},
                              60s, 30000);
    auto replies = run.replies(kVela, "startMeasurement");
    ASSERT_EQ(replies.size(), 1u) << run.output;
    EXPECT_EQ(text(replies[0].at("reply")), "success") << run.output;
    auto events = run.events(kStatus);
    ASSERT_EQ(events.size(), 1u) << run.output;
    ASSERT_TRUE(events[0].at("value").is_string());
    boost::system::error_code ec;
    json::value status = json::parse(events[0].at("value").as_string(), ec);
    ASSERT_FALSE(ec) << events[0].at("value").as_string();
    const auto& o = status.as_object();
    EXPECT_EQ(o.size(), 4u) << json::serialize(o);  // nothing injected
    EXPECT_EQ(o.at("measurementState"), json::value("resultSent"));
    EXPECT_TRUE(o.at("error").is_null());
    EXPECT_EQ(o.at("measurementUuid"), json::value(uuid));
    EXPECT_EQ(o.at("openDataUuid"), json::value(openData));
    quit(*agent, socket);
}

TEST_F(MeasurementFixture, ASignalDuringAMeasurementLetsTheUiReportTheRealOutcome) {
    backend.setCollectorUuids("uuid-after-signal", "open-after-signal");
    Child driver({driverBinary(), "--socket", socket, "--timeout-ms", "30000", "--json", "measure", "--controller",
                  backend.controllerUrl(), "--no-speed", "--qos-types", "TCP", "--max-seconds", "60"},
                 ChildOptions{{}, "", "", dir.file("driver.err")});
    ASSERT_TRUE(measurementStarted()) << readFile(dir.file("agent.err"));
    std::this_thread::sleep_for(500ms);
    agent->signal(SIGTERM);
    // The objective's 2 s bound the measurement; the rest is margin.
    auto driverStatus = driver.finish(40s);
    ASSERT_TRUE(driverStatus) << "the UI did not end";
    EXPECT_TRUE(driverStatus->exited && driverStatus->code == 0)
        << driverStatus->text() << "\n" << driver.output() << readFile(dir.file("driver.err"));
    const std::string& out = driver.output();
    // The summary is the last JSON line.
    const auto last = out.rfind("{\"type\":\"summary\"");
    ASSERT_NE(last, std::string::npos) << out;
    boost::system::error_code ec;
    json::value summary = json::parse(out.substr(last), ec);
    ASSERT_FALSE(ec) << out.substr(last);
    const auto& s = summary.at("summary").as_object();
    EXPECT_EQ(s.at("accepted"), json::value(true)) << json::serialize(s);
    EXPECT_EQ(s.at("measurementUuid"), json::value("uuid-after-signal")) << json::serialize(s);

    auto status = agent->wait(20s);
    ASSERT_TRUE(status) << "the agent did not end";
    EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file("agent.err"));
    EXPECT_FALSE(exists(socket));
    EXPECT_FALSE(exists(socket + ".lock"));
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Collector), 1u);
}

TEST_F(MeasurementFixture, ASecondSignalCutsTheEndShortAndLeavesNoSocketFiles) {
    Child driver({driverBinary(), "--socket", socket, "--timeout-ms", "30000", "--send", kVela, "startMeasurement",
                  json::serialize(json::value(startParameters(backend))), "--await-replies"},
                 {}, "", dir.file("driver.out"), dir.file("driver.err"));
    ASSERT_TRUE(measurementStarted()) << readFile(dir.file("agent.err"));
    agent->signal(SIGTERM);
    std::this_thread::sleep_for(200ms);
    const auto second = std::chrono::steady_clock::now();
    agent->signal(SIGINT);
    auto status = agent->wait(5s);
    ASSERT_TRUE(status) << "the agent did not end";
    EXPECT_LT(std::chrono::steady_clock::now() - second, 1500ms);  // the objective alone takes 2 s
    EXPECT_TRUE(status->exited && status->code == 130) << status->text();  // interrupted by SIGINT
    EXPECT_FALSE(exists(socket));
    EXPECT_FALSE(exists(socket + ".lock"));
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Collector), 0u);
    EXPECT_TRUE(driver.wait(10s)) << "the UI did not see the agent go";
}

TEST_F(AnsweringQosServer, AUiThatFloodsAndNeverReadsHoldsUpNothingAndASignalStillEndsTheAgent) {
    const int fd = connectRaw(socket);
    ASSERT_GE(fd, 0);
    // Subscribed to the QoS progress, whose events are sent under the
    // measurement's QoS lock; then calls as fast as the socket takes them,
    // and never a byte read.
    auto listen = callFrame(1, kQos, "listen");
    auto start = callFrame(2, kVela, "startMeasurement", flutter::EncodableValue(startParameters(backend)));
    ASSERT_TRUE(flutter::wire::writeAll(fd, listen.data(), listen.size()));
    ASSERT_TRUE(flutter::wire::writeAll(fd, start.data(), start.size()));
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> sent{0};
    std::atomic<bool> droppedByAgent{false};
    std::thread flood([&] {
        const auto deadline = std::chrono::steady_clock::now() + 40s;
        for (std::uint32_t id = 3; !stop && std::chrono::steady_clock::now() < deadline; ++id) {
            const auto bytes = callFrame(id, kSystem, "requestWindowScale");
            std::size_t at = 0;
            while (at < bytes.size() && !stop && std::chrono::steady_clock::now() < deadline) {
                const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    at += static_cast<std::size_t>(n);
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    std::this_thread::sleep_for(1ms);
                } else {
                    droppedByAgent = true;
                    return;
                }
            }
            ++sent;
        }
    });
    ASSERT_TRUE(measurementStarted()) << readFile(dir.file("agent.err"));
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    agent->signal(SIGTERM);
    // The QoS test is not held up by the UI: its report goes out at once.
    std::optional<std::chrono::steady_clock::duration> reported;
    std::optional<ExitStatus> status;
    while (!(status = agent->wait(0ms)) && std::chrono::steady_clock::now() < started + 30s) {
        if (!reported && backend.count(BackendServer::Endpoint::Collector) > 0) {
            reported = std::chrono::steady_clock::now() - started;
        }
        std::this_thread::sleep_for(5ms);
    }
    stop = true;
    flood.join();
    ::close(fd);
    ASSERT_TRUE(status) << "the agent did not end";
    EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file("agent.err"));
    EXPECT_FALSE(exists(socket));
    EXPECT_FALSE(exists(socket + ".lock"));
    EXPECT_GT(sent.load(), 1000u);
    EXPECT_TRUE(droppedByAgent) << "the agent never closed the flooding UI";
    ASSERT_EQ(backend.count(BackendServer::Endpoint::Collector), 1u);
    ASSERT_TRUE(reported);
    EXPECT_LT(*reported, 5s);
    const std::string report = backend.requests(BackendServer::Endpoint::Collector).at(0).body;
    EXPECT_EQ(report.find("TIMEOUT"), std::string::npos) << report;
    // Dropped either for taking nothing for 5 s or for letting the queue pass
    // its bound, whichever a fast or a slow flood reaches first.
    const std::string log = readFile(dir.file("agent.err"));
    EXPECT_TRUE(log.find("UI connection closed: the UI did not take its bytes for 5000 ms") != std::string::npos ||
                log.find("UI connection closed: more than 16777216 bytes waited for the UI") != std::string::npos)
        << log;
}

}  // namespace

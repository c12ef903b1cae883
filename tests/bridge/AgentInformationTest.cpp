// The information-collector channel of the real agent: the stream's texts
// from real samples of this machine, and the agent-IP message against the
// loopback back end's address echo.

#include "AgentHarness.h"

#include "BackendServer.h"

#include <regex>

using namespace bridge_test;
namespace json = boost::json;
using lumivex::test::BackendServer;

namespace {


class AgentInformationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        backend.start();
        agent = std::make_unique<Child>(std::vector<std::string>{agentBinary()},
                                        std::vector<std::string>{"LUMIVEX_UI_SOCKET=" + socket}, dir.path(),
                                        dir.file("agent.out"), dir.file("agent.err"));
        ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    }
    void TearDown() override {
        // The UI leaving ends the agent; one that still runs is asked to quit.
        auto status = agent->wait(5s);
        if (!status) {
            runDriver(socket, {"--quit"});
            status = agent->wait(20s);
        }
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file("agent.err"));
        EXPECT_FALSE(exists(socket));
    }
    // The texts of the stream's events, in order.
    static std::vector<std::string> texts(const DriverRun& run) {
        std::vector<std::string> out;
        for (const auto& e : run.events(kStream)) {
            if (e.at("value").is_string()) out.emplace_back(e.at("value").as_string());
        }
        return out;
    }

    PrivateDir dir;
    std::string socket = dir.file("ui.sock");
    BackendServer backend;
    std::unique_ptr<Child> agent;
};

TEST_F(AgentInformationTest, SamplesOfThisMachineArriveInTheirExactForms) {
    // Every sample sends its network, signal and load messages; the
    // traffic message only when bytes moved. The third CPU and memory
    // message means three samples have arrived.
    DriverRun run = runDriver(socket,
                              {"--listen", kStream, "--call", kCollector, "start", "null",
                               "--call", kCollector, "start", "null",  // a second start changes nothing
                               "--until-event", "CPU_RAM_MESSAGE", "--until-event", "CPU_RAM_MESSAGE",
                               "--until-event", "CPU_RAM_MESSAGE", "--call", kCollector, "stop", "null",
                               "--call", kCollector, "stop", "null", "--call", kCollector, "noSuchMethod", "null"},
                              60s, 10000);
    ASSERT_TRUE(run.status && run.status->exited && run.status->code == 0) << run.output;
    for (const auto& r : run.replies(kCollector, "start")) EXPECT_EQ(text(r.at("reply")), "success");
    for (const auto& r : run.replies(kCollector, "stop")) EXPECT_EQ(text(r.at("reply")), "success");
    EXPECT_EQ(text(run.replies(kCollector, "noSuchMethod").at(0).at("reply")), "notImplemented");

    const std::regex traffic(R"re(\{"type": "TRAFFIC_MESSAGE", "message": \{"txBytes": (\d+), "txBps": (\d+), "rxBytes": (\d+), "rxBps": (\d+), "duration": 1000\}\})re");
    const std::regex network(R"re(\{"type": "NETWORK_MESSAGE", "message": \{"network_type_id": (95|98|99)\}\})re");
    const std::regex signal(R"re(\{"type": "SIGNAL_MESSAGE", "message": \{"signal": null, "technology": "(UNKNOWN|LAN|WLAN)"\}\})re");
    const std::regex load(R"re(\{"type":"CPU_RAM_MESSAGE","message":\{"cpu_usage":\d\.\d{6},"ram_usage":\d\.\d{6}\}\})re");
    int networks = 0, signals = 0, loads = 0;
    std::string lastNetwork;
    for (const auto& t : texts(run)) {
        SCOPED_TRACE(t);
        boost::system::error_code ec;
        json::parse(t, ec);
        EXPECT_FALSE(ec) << "not JSON";
        std::smatch m;
        if (std::regex_match(t, m, traffic)) {
            EXPECT_EQ(std::stoull(m[2]), 8 * std::stoull(m[1]));
            EXPECT_EQ(std::stoull(m[4]), 8 * std::stoull(m[3]));
            EXPECT_NE(std::stoull(m[1]) + std::stoull(m[3]), 0u);
        } else if (std::regex_match(t, m, network)) {
            ++networks;
            lastNetwork = m[1];
        } else if (std::regex_match(t, m, signal)) {
            ++signals;
            // The technology names the network code of the same sample.
            const std::map<std::string, std::string> names{{"95", "UNKNOWN"}, {"98", "LAN"}, {"99", "WLAN"}};
            EXPECT_EQ(names.at(lastNetwork), m[1]);
        } else if (std::regex_match(t, load)) {
            ++loads;
        } else {
            ADD_FAILURE() << "unexpected text";
        }
    }
    EXPECT_EQ(loads, 3);
    EXPECT_EQ(networks, 3);
    EXPECT_EQ(signals, 3);
}

TEST_F(AgentInformationTest, TheAgentIpCheckSendsItsMessageOnTheStream) {
    const std::string url = backend.baseUrl();
    auto request = [](const json::value& args) {
        return call(kCollector, "requestAgentIp", json::serialize(args));
    };
    std::vector<std::string> steps{"--listen", kStream};
    for (const json::value& args : {json::value(nullptr), json::value(json::object{}),
                                    json::value(json::object{{"controller_ipv4", 4}, {"controller_ipv6", true}}),
                                    json::value(json::object{{"controller_ipv4", url}})}) {
        auto s = request(args);
        steps.insert(steps.end(), s.begin(), s.end());
    }
    steps.insert(steps.end(), {"--events", "1"});
    DriverRun run = runDriver(socket, steps, 60s, 15000);
    for (const auto& r : run.replies(kCollector, "requestAgentIp")) EXPECT_EQ(text(r.at("reply")), "success");
    // Only the call with a URL asked the back end, and only it sent a message.
    ASSERT_EQ(texts(run), std::vector<std::string>{
                              R"({"type":"IP_MESSAGE","message":{"ipStatus":{"IPv4":"PUBLIC","IPv4_IP":"127.0.0.1"}}})"})
        << run.output;
    ASSERT_EQ(backend.requests().size(), 1u);
    EXPECT_EQ(backend.requests()[0].method, "GET");
    EXPECT_EQ(backend.requests()[0].path, "/ip");
}

TEST_F(AgentInformationTest, MessagesOfChecksAskedForInSuccessionKeepTheirOrder) {
    // Behind address translation, and a back end that cannot be reached.
    const std::string url = backend.baseUrl();
    backend.setReportedIp("203.0.113.9");
    DriverRun run = runDriver(socket,
                    {"--listen", kStream, "--call", kCollector, "requestAgentIp",
                     json::serialize(json::object{{"controller_ipv4", url}}), "--call", kCollector, "requestAgentIp",
                     json::serialize(json::object{{"controller_ipv6", "http://127.0.0.1:1"}}), "--events", "2"},
                    60s, 15000);
    EXPECT_EQ(texts(run),
              (std::vector<std::string>{
                  R"({"type":"IP_MESSAGE","message":{"ipStatus":{"IPv4":"NAT","IPv4_IP":"203.0.113.9"}}})",
                  R"({"type":"IP_MESSAGE","message":{"ipStatus":{"IPv6":"UNKNOWN"}}})"}))
        << run.output;
}

}  // namespace

// scripts/run end to end, on this build tree: the real back end, QoS server,
// measurement server, agent and command-line UI as processes, one full
// measurement with the speed test shortened through its test seam. The
// summary's figures must be those of the report the collector received, and
// nothing the script started may outlive it, also when it is interrupted.

#include "RunScript.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <regex>

namespace json = boost::json;
using namespace smoke_test;

namespace {

const std::vector<std::string> kShortSpeedTest{"LUMIVEX_TEST_SPEED_OVERRIDES=short"};

std::vector<std::string> runArgs(const TempDir& dir) {
    return {"--no-build", "--build-dir", binaryDir(), "--out-dir", dir.file("runs")};
}

// The summary's rows ("  name  value") by name, in the order printed.
std::vector<std::pair<std::string, std::string>> rows(const std::string& output) {
    std::vector<std::pair<std::string, std::string>> found;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') continue;
        const auto gap = line.find("  ", 2);
        if (gap == std::string::npos) continue;
        const auto value = line.find_first_not_of(' ', gap);
        found.emplace_back(line.substr(2, gap - 2), value == std::string::npos ? "" : line.substr(value));
    }
    return found;
}

std::string valueOf(const std::vector<std::pair<std::string, std::string>>& table, const std::string& name) {
    for (const auto& [n, v] : table) {
        if (n == name) return v;
    }
    return "(no row " + name + ")";
}

std::string printed(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

double num(const json::value& v) { return v.to_number<double>(); }

// "23.9 Gbit/s", "941 Mbit/s", "12.3 kbit/s" in Mbit/s; -1 for anything else.
double shownMbps(const std::string& text) {
    std::smatch m;
    if (!std::regex_match(text, m, std::regex("([0-9]+(\\.[0-9]+)?) (k|M|G)bit/s"))) return -1;
    const double value = std::stod(m[1].str());
    return m[3] == "k" ? value / 1000 : m[3] == "G" ? value * 1000 : value;
}

// A rate shown with three figures is the report's within their rounding.
void expectRate(const std::string& shown, double mbps) {
    const double read = shownMbps(shown);
    EXPECT_GT(read, 0) << shown;
    EXPECT_NEAR(read, mbps, mbps * 0.006) << shown;
}

TEST(RunScript, AFullMeasurementPrintsTheFiguresOfTheReportTheCollectorReceived) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string mark = randomMark();
    std::filesystem::create_directory(dir.file("tmp"));
    ScriptRun run(runArgs(dir), mark, dir.file("tmp"), kShortSpeedTest, dir.file("run.err"));
    ASSERT_TRUE(run.started());
    auto status = run.finish(150s);
    const std::string context = run.output() + "\n--- stderr ---\n" + readFile(dir.file("run.err"));
    ASSERT_TRUE(status) << "scripts/run did not end\n" << context;
    ASSERT_TRUE(status->exited && status->code == 0) << status->text() << "\n" << context;
    EXPECT_NE(run.output().find("Measurement done: the collector accepted the report."), std::string::npos) << context;

    // The report, where the summary says it is.
    std::smatch where;
    ASSERT_TRUE(std::regex_search(run.output(), where, std::regex("The report the collector received: (\\S+)")))
        << context;
    const json::value report = json::parse(readFile(where[1].str()));
    const json::object* speed = nullptr;
    std::vector<json::object> qos;
    for (const auto& entry : report.at("result").as_array()) {
        for (const auto& sub : entry.at("results").as_array()) {
            if (sub.at("deserialize_type") == "speed_result") speed = &sub.as_object();
            if (sub.at("deserialize_type") == "qos_result") {
                for (const auto& test : sub.at("results").as_array()) qos.push_back(test.as_object());
            }
        }
    }
    const auto table = rows(run.output());

    // The speed test's figures, as the report gives them.
    ASSERT_NE(speed, nullptr) << context;
    const double downloadMbps = num(speed->at("bytes_download")) * 8e3 / num(speed->at("duration_download_ns"));
    const double uploadMbps = num(speed->at("bytes_upload")) * 8e3 / num(speed->at("duration_upload_ns"));
    EXPECT_GT(downloadMbps, 0.0);
    EXPECT_GT(uploadMbps, 0.0);
    expectRate(valueOf(table, "download"), downloadMbps);
    expectRate(valueOf(table, "upload"), uploadMbps);
    // The speed test ran shortened, and the summary says so.
    EXPECT_NE(run.output().find("The speed test was shortened for testing"), std::string::npos) << context;
    const auto& tcp = speed->at("rtt_tcp_info");
    const auto& udp = speed->at("rtt_info");
    EXPECT_EQ(valueOf(table, "round trip (TCP)"), printed("%.3f ms", num(tcp.at("median_ns")) / 1e6) + "  median");
    EXPECT_EQ(valueOf(table, "round trip (UDP)"), printed("%.3f ms", num(udp.at("median_ns")) / 1e6) + "  median");
    EXPECT_EQ(valueOf(table, "jitter (UDP)"), printed("%.3f ms", num(udp.at("jitter_avg_ns")) / 1e6) + "  mean");
    EXPECT_EQ(valueOf(table, "loss (UDP)"),
              printed("%.1f %%", num(udp.at("packet_loss")) * 100) + "  (" +
                  std::to_string(udp.at("num_lost").to_number<long long>()) + " of " +
                  std::to_string(udp.at("num_sent").to_number<long long>()) + " lost)");

    // Every QoS test of the report, with its status; on loopback each passes.
    std::map<std::string, int> kinds;
    for (const auto& test : qos) {
        const std::string type(test.at("test_type").as_string());
        const std::string uid(test.at("qos_test_uid").as_string());
        const std::string status(test.at("status").as_string());
        ++kinds[type];
        EXPECT_EQ(status, "OK") << type << " " << uid << ": " << json::serialize(test);
        EXPECT_EQ(valueOf(table, type + " " + uid).substr(0, status.size() + 2), status + "  ") << context;
    }
    std::vector<std::string> expected{"HTTP_PROXY", "NON_TRANSPARENT_PROXY", "SIP", "TCP", "TRACEROUTE", "UDP", "VOIP"};
    if (namespacesPermitted()) {
        expected.push_back("DNS");
        EXPECT_EQ(kinds["DNS"], 2) << context;
    } else {
        EXPECT_NE(run.output().find("DNS test left out"), std::string::npos) << context;
    }
    for (const auto& kind : expected) EXPECT_GE(kinds[kind], 1) << kind << " missing\n" << context;
    EXPECT_EQ(kinds.size(), expected.size()) << context;

    // Nothing it started is left, and its private socket folder is gone.
    auto left = leftOver(mark, 5s);
    EXPECT_TRUE(left.empty()) << describe(left);
    EXPECT_TRUE(entries(dir.file("tmp")).empty());
}

struct Interruption {
    std::vector<std::string> extraArgs;
    std::string waitFor;  // interrupted once the output holds this
};

void PrintTo(const Interruption& i, std::ostream* out) { *out << "after \"" << i.waitFor << "\""; }

class RunScriptInterrupted : public testing::TestWithParam<Interruption> {};

TEST_P(RunScriptInterrupted, CtrlCLeavesNoProcessAndNoSocketBehind) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string mark = randomMark();
    std::filesystem::create_directory(dir.file("tmp"));
    std::vector<std::string> args = runArgs(dir);
    args.insert(args.end(), GetParam().extraArgs.begin(), GetParam().extraArgs.end());
    // The speed test at its full length: the run is still under way
    // whenever the interruption comes.
    ScriptRun run(args, mark, dir.file("tmp"), {"LUMIVEX_TEST_SPEED_OVERRIDES="}, dir.file("run.err"));
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.readUntil(GetParam().waitFor, 90s))
        << run.output() << "\n--- stderr ---\n" << readFile(dir.file("run.err"));
    // Everything is running now: the peers, the agent (its socket is open)
    // and the command-line UI.
    EXPECT_FALSE(entries(dir.file("tmp")).empty());
    EXPECT_GE(processesWith("LUMIVEX_SMOKE_MARK=" + mark).size(), 5u);

    run.interrupt();
    // Stopping is bounded by the script's own waits (a few seconds).
    auto status = run.finish(30s);
    std::string stopLog;
    for (const auto& path : entries(dir.file("runs"))) {
        if (path.ends_with("/stop.log")) stopLog += readFile(path);
    }
    const std::string context = run.output() + "\n--- stderr ---\n" + readFile(dir.file("run.err")) +
                                "--- how the script stopped its processes ---\n" + stopLog;
    ASSERT_TRUE(status) << "scripts/run did not end after Ctrl-C\n" << context;
    EXPECT_TRUE(status->exited && status->code == 130) << status->text() << "\n" << context;
    // What was measured so far, marked as partial, comes before "stopped".
    const auto partial = run.output().find("Measurement stopped before its end: the figures below are partial");
    const auto stopped = run.output().find("scripts/run: stopped");
    EXPECT_NE(partial, std::string::npos) << context;
    EXPECT_NE(stopped, std::string::npos) << context;
    EXPECT_LT(partial, stopped) << context;
    auto left = leftOver(mark, 5s);
    EXPECT_TRUE(left.empty()) << describe(left) << context;
    EXPECT_TRUE(entries(dir.file("tmp")).empty()) << context;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, RunScriptInterrupted,
    testing::Values(Interruption{{}, "speed test: "}, Interruption{{"--no-namespaces"}, "measuring against"}),
    [](const testing::TestParamInfo<Interruption>& info) {
        return info.param.extraArgs.empty() ? std::string("InNamespacesDuringTheSpeedTest")
                                            : std::string("WithoutNamespacesAsTheMeasurementStarts");
    });

// scripts/run's statuses of the shared table that the other cases do not
// reach: a measurement that failed (with its cause), an agent that ended at
// start, a local set-up that is incomplete.
TEST(RunScript, ExitStatusesOfFailedRuns) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // A tree whose agent ends at once and that has no test servers.
    const std::string fake = dir.file("fake-tree");
    for (const char* sub : {"/runner", "/cli"}) std::filesystem::create_directories(fake + sub);
    for (const char* program : {"/runner/lumivex", "/cli/lumivex-cli"}) {
        std::ofstream(fake + program) << "#!/bin/sh\nexit 1\n";
        std::filesystem::permissions(fake + program, std::filesystem::perms::owner_all);
    }
    // A port bound but not listening: connections to it are refused.
    const int held = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const std::string refused = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases{
        {{"--build-dir", binaryDir(), "--controller", refused, "--no-speed"}, 1,
         "the registration with " + refused + "/api/v1 failed: connection refused by 127.0.0.1:"},
        {{"--build-dir", fake, "--controller", refused}, 3, "the agent ended at start"},
        {{"--build-dir", fake}, 5, "is missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const std::string mark = randomMark();
        std::filesystem::create_directories(dir.file("tmp"));
        std::vector<std::string> args{"--no-build", "--out-dir", dir.file("runs")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ScriptRun run(args, mark, dir.file("tmp"), {"RES_OPTIONS=timeout:1 attempts:1"}, dir.file("run.err"));
        ASSERT_TRUE(run.started());
        auto status = run.finish(60s);
        const std::string context = run.output() + "\n--- stderr ---\n" + readFile(dir.file("run.err"));
        ASSERT_TRUE(status) << context;
        EXPECT_TRUE(status->exited && status->code == c.status) << status->text() << "\n" << context;
        EXPECT_NE(context.find(c.says), std::string::npos) << context;
        auto left = leftOver(mark, 5s);
        EXPECT_TRUE(left.empty()) << describe(left);
    }
    ::close(held);
}

}  // namespace

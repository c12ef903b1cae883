// The speed-test command-line task with a fake client program that each test
// writes, found through the configured value the task reads.

#include "TaskTestSupport.h"

#include "helper/CommandLineHelper.h"
#include "model/QosTaskConfigurations.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/ExternalToolTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/TaskResultWriter.h"
#include "tasks/OoklaSpeedtestCliTask.h"

#include <boost/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace task_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr const char* kReport = R"({"type":"result","ping":{"latency":1.5},"download":{"bandwidth":12500000}})";

std::unique_ptr<OoklaSpeedtestCliTaskConfiguration> ooklaConfig(std::string type = "OOKLA_SPEEDTEST_CLI",
                                                                std::chrono::milliseconds timeout = 3000ms) {
    auto c = std::make_unique<OoklaSpeedtestCliTaskConfiguration>();
    c->qostest = std::move(type);
    c->qos_test_uid = "31";
    c->timeout = nanos(timeout);
    return c;
}

// A folder holding one fake client program; the task finds it through the
// configured value "OOKLA_SPEEDTEST_CLI" as long as the fixture lives.
class FakeClient : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lumivex-ookla-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
        program = folder / "speedtest";
    }
    void TearDown() override {
        CommandLineHelper::setEnvironment({});
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // The fake client records its arguments, one a line, then runs `body`.
    void writeProgram(const std::string& body) {
        std::ofstream out(program);
        out << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << (folder / "args").string() << "'\n" << body << "\n";
        out.close();
        fs::permissions(program, fs::perms::owner_all);
        CommandLineHelper::setEnvironment({{"OOKLA_SPEEDTEST_CLI", program.string()}});
    }
    std::string recordedArguments() const {
        std::ifstream in(folder / "args");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path folder;
    fs::path program;
};

}  // namespace

TEST(OoklaSpeedtestCliTask, CommandLine) {
    const std::string fixed = "/opt/st --accept-license --accept-gdpr -P 8 -f json";
    struct Case {
        const char* label;
        std::function<void(OoklaSpeedtestCliTaskConfiguration&)> set;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no options", {}, fixed},
        {"server id and bind address",
         [](auto& c) {
             c.server_id = "1234";
             c.bind_ip = "10.0.0.2";
         },
         fixed + " -s 1234 -i 10.0.0.2"},
        {"all four in their order",
         [](auto& c) {
             c.bind_ip = "::1";
             c.bind_interface = "eth0";
             c.server_host = "speed.example.net:8080";
             c.server_id = "7";
         },
         fixed + " -s 7 -o speed.example.net:8080 -I eth0 -i ::1"},
        {"present but empty", [](auto& c) { c.server_host = ""; }, fixed + " -o ''"},
        {"shell characters stay one argument", [](auto& c) { c.server_id = "1; rm -rf ~ 'x'"; },
         fixed + " -s '1; rm -rf ~ '\\''x'\\'''"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        OoklaSpeedtestCliTaskConfiguration config;
        if (c.set) c.set(config);
        EXPECT_EQ(OoklaSpeedtestCliTask::buildCommandLine("/opt/st", config), c.expected);
    }
}

TEST(OoklaSpeedtestCliTask, WithoutAProgramItFailsOnTheDefaultPath) {
    CommandLineHelper::setEnvironment({});
    EXPECT_EQ(OoklaSpeedtestCliTask::programPath(), "/usr/bin/speedtest");
    if (fs::exists("/usr/bin/speedtest")) GTEST_SKIP() << "a speed-test client is installed here";

    auto config = ooklaConfig();
    auto task = OoklaSpeedtestCliTask::create(config.get());
    const auto outcome = runTask(*task);
    EXPECT_EQ(outcome.status, TaskStatus::Error);
    EXPECT_NE(outcome.printed.find("TaskException cmd failed with exit code 127"), std::string::npos)
        << outcome.printed;
    const auto& r = outcome.as<OoklaSpeedtestCliTaskResult>();
    EXPECT_EQ(r.status, "ERROR");
    EXPECT_EQ(r.ookla_speedtest_cli_result, nullptr);
}

TEST_F(FakeClient, OutputBecomesTheResultText) {
    // Like the real client: one JSON document and a line end.
    writeProgram(std::string("printf '%s\\n' '") + kReport + "'");
    for (const std::string type : {"OOKLA_SPEEDTEST_CLI", "OOKLA_SPEEDTEST_EMBEDDED"}) {
        SCOPED_TRACE(type);
        auto config = ooklaConfig(type);
        config->server_id = "1234";
        config->bind_ip = "10.0.0.2";
        auto task = OoklaSpeedtestCliTask::create(config.get());
        const auto outcome = runTask(*task);

        EXPECT_EQ(outcome.status, TaskStatus::Ok);
        EXPECT_NE(outcome.printed.find(std::string(kReport) + "\n"), std::string::npos);
        EXPECT_EQ(recordedArguments(), "--accept-license\n--accept-gdpr\n-P\n8\n-f\njson\n-s\n1234\n-i\n10.0.0.2\n");
        const std::string* text = nullptr;
        if (type == "OOKLA_SPEEDTEST_EMBEDDED") {
            const auto& r = outcome.as<OoklaSpeedtestEmbeddedTaskResult>();
            text = r.ookla_speedtest_embedded_result.get();
        } else {
            const auto& r = outcome.as<OoklaSpeedtestCliTaskResult>();
            text = r.ookla_speedtest_cli_result.get();
        }
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(*text, kReport);  // lines are taken without their line ends

        // The report carries the document itself.
        boost::json::value written;
        TaskResultWriter(written, outcome.result.get());
        const char* key = type == "OOKLA_SPEEDTEST_EMBEDDED" ? "ookla_speedtest_embedded_result"
                                                             : "ookla_speedtest_cli_result";
        EXPECT_EQ(written.at(key), boost::json::parse(kReport));
        EXPECT_EQ(outcome.result->status, "OK");
        EXPECT_EQ(outcome.result->qos_test_uid, "31");
        EXPECT_EQ(outcome.result->objective_task_type, type);
    }
}

TEST_F(FakeClient, HostileOptionTextIsOneArgument) {
    writeProgram("echo '{}'");
    const fs::path marker = folder / "marker";
    auto config = ooklaConfig();
    config->server_id = "1; touch " + marker.string();
    auto task = OoklaSpeedtestCliTask::create(config.get());
    const auto outcome = runTask(*task);
    EXPECT_EQ(outcome.status, TaskStatus::Ok);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_NE(recordedArguments().find("-s\n1; touch " + marker.string() + "\n"), std::string::npos);
}

// Failures keep a result with the common members and no text.
TEST_F(FakeClient, FailuresAndEmptyOutput) {
    struct Case {
        const char* label;
        std::string body;
        std::string timeout;
        TaskStatus status;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"non-zero exit", "echo partial; exit 3", nanos(3000ms), TaskStatus::Error,
         "TaskException cmd failed with exit code 3"},
        {"runs past the time-out", "sleep 5", nanos(300ms), TaskStatus::Timeout, "TaskTimeoutException TIMEOUT"},
        {"time-out not a number", "echo '{}'", "later", TaskStatus::Error, "invalid stoll argument"},
        {"prints nothing", "exit 0", nanos(3000ms), TaskStatus::Ok, ""},
        // Must not overflow into a deadline already past.
        {"the largest time-out", "exit 0", "9223372036854775807", TaskStatus::Ok, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        writeProgram(c.body);
        auto config = ooklaConfig();
        config->timeout = c.timeout;
        auto task = OoklaSpeedtestCliTask::create(config.get());
        const auto outcome = runTask(*task);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.printed.find(c.printed), std::string::npos) << outcome.printed;
        EXPECT_LT(outcome.took, 3000ms);
        if (c.timeout == "later") {
            // The common members convert the same text: no result.
            EXPECT_EQ(outcome.resultFailure, "invalid stoll argument");
            continue;
        }
        const auto* r = dynamic_cast<const OoklaSpeedtestCliTaskResult*>(outcome.result.get());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->status, taskStatusToString(c.status));
        EXPECT_EQ(r->ookla_speedtest_cli_result, nullptr);
    }
}

TEST(OoklaSpeedtestCliTask, MissingConfigurationOrAnotherKind) {
    {
        auto task = OoklaSpeedtestCliTask::create(nullptr);
        const auto outcome = runTask(*task);
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException No configuration provided"), std::string::npos);
        EXPECT_NE(dynamic_cast<const OoklaSpeedtestCliTaskResult*>(outcome.result.get()), nullptr);
    }
    HttpProxyTaskConfiguration other;
    EXPECT_FALSE(OoklaSpeedtestCliTask::accepts(&other));
    auto task = OoklaSpeedtestCliTask::create(&other);
    const auto outcome = runTask(*task);
    EXPECT_EQ(outcome.status, TaskStatus::Error);
    EXPECT_NE(outcome.printed.find("TaskException Configuration is not an ookla speedtest cli task configuration"),
              std::string::npos);
}

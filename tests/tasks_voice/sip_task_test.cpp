// The SIP task against the QoS test server: calls that pass, are refused,
// time out and fail, and the result record they leave.

#include <gtest/gtest.h>

#include "VoicePeerSupport.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/TelephonyTaskResults.h"
#include "tasks/SipTask.h"

#include <chrono>
#include <functional>

using namespace std::chrono_literals;
using lumivex::test_peers::QosServerOptions;
using namespace trevask::measurement_library;

namespace {

using Sip = QosServerOptions::Sip;

SipTaskConfiguration sipConfiguration(uint16_t port, const std::string& count) {
    SipTaskConfiguration config;
    config.qostest = "sip";
    config.qos_test_uid = "21";
    config.server_addr = "127.0.0.1";
    config.port = std::to_string(port);
    config.count = count;
    config.from = "a";
    config.to = "b";
    config.via = "";
    config.call_duration = "10000000";  // 10 ms
    config.timeout = "2000000000";      // 2 s
    return config;
}

struct SipRun : voice_test::TaskRun<SipTaskResult> {
    uint32_t ringing = 0;
    uint32_t completed = 0;
};

SipRun runSip(voice_test::ServerWithControl& s, SipTaskConfiguration& config, bool withControl = true) {
    auto task = SipTask::create(&config);
    if (withControl) task->setControlConnection(s.control.get());
    SipRun run;
    run.collect(*task);
    auto* sip = static_cast<SipTask*>(task.get());
    run.ringing = sip->getRingingCount();
    run.completed = sip->getCompletedCount();
    return run;
}

}  // namespace

TEST(SipTask, CallsAgainstTheServer) {
    struct Case {
        const char* name;
        QosServerOptions options;
        std::string count;
        std::string status;
        uint32_t ringing, completed;
        float cssr, ccsr, dcr;
    };
    QosServerOptions refused;
    refused.refuse = {"SIPTEST"};
    QosServerOptions ringingFirst;
    ringingFirst.sip = Sip::RingingFirst;
    QosServerOptions byeRinging;
    byeRinging.sip = Sip::ByeAnsweredWithRinging;
    const std::vector<Case> cases = {
        {"three calls complete", {}, "3", "OK", 3, 3, 1.0f, 1.0f, 0.0f},
        {"no calls", {}, "0", "OK", 0, 0, 0.0f, 0.0f, 1.0f},
        {"refused", refused, "2", "ERROR", 0, 0, 0.0f, 0.0f, 1.0f},
        {"RINGING before TRYING", ringingFirst, "2", "ERROR", 0, 0, 0.0f, 0.0f, 1.0f},
        {"BYE answered with RINGING: set up, not completed", byeRinging, "2", "OK", 2, 0, 1.0f, 0.0f, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        voice_test::ServerWithControl s(c.options);
        ASSERT_TRUE(s.connected);
        auto config = sipConfiguration(s.server.tcpTestPorts().at(0), c.count);
        const SipRun run = runSip(s, config);
        ASSERT_TRUE(run.result);
        EXPECT_EQ(run.result->status, c.status);
        EXPECT_EQ(run.result->sip_result, c.status);
        EXPECT_EQ(run.ringing, c.ringing);
        EXPECT_EQ(run.completed, c.completed);
        EXPECT_FLOAT_EQ(run.result->sip_result_cssr, c.cssr);
        EXPECT_FLOAT_EQ(run.result->sip_result_ccsr, c.ccsr);
        EXPECT_FLOAT_EQ(run.result->sip_result_dcr, c.dcr);
        EXPECT_EQ(run.result->sip_objective_count, c.count);
        EXPECT_LT(run.took, 1500ms);
        // A failed attempt ends the task: no second SIPTEST.
        const std::size_t announced = s.commandsStartingWith("SIPTEST ").size();
        const std::size_t expectedAnnounced = c.status == "ERROR" ? 1u : static_cast<std::size_t>(std::stoi(c.count));
        EXPECT_EQ(announced, expectedAnnounced);
    }
}

TEST(SipTask, SendsTheDialectAndFillsTheRecord) {
    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.tcpTestPorts().at(1);
    auto config = sipConfiguration(port, "1");
    config.concurrency_group = 4;
    const SipRun run = runSip(s, config);
    ASSERT_TRUE(run.result);
    EXPECT_EQ(run.result->status, "OK");

    EXPECT_EQ(s.commandsStartingWith("SIPTEST "), std::vector<std::string>{"SIPTEST " + std::to_string(port) + " +ID21"});
    ASSERT_TRUE(s.server.waitForTestLines(2, 1s));
    const auto messages = s.server.testLines();
    // The server records each message's lines joined with line feeds.
    EXPECT_EQ(messages.at(0), "INVITE b SIP/2.0\nFROM: a\nTO: b\nVIA: a\nContent-Length: 0\n");
    EXPECT_EQ(messages.at(1), "BYE b SIP/2.0\nFROM: a\nTO: b\nVIA: a\nContent-Length: 0\n");

    const auto& r = *run.result;
    EXPECT_EQ(r.objective_id, 21u);
    EXPECT_EQ(r.qos_test_uid, "21");
    EXPECT_EQ(r.objective_concurrency_group, 4u);
    EXPECT_EQ(r.objective_task_type, "sip");
    EXPECT_EQ(r.sip_objective_port, std::to_string(port));
    EXPECT_EQ(r.sip_objective_from, "a");
    EXPECT_EQ(r.sip_objective_to, "b");
    EXPECT_EQ(r.sip_objective_via, "");
    EXPECT_EQ(r.sip_objective_call_duration, "10000000");
    // The call is held for call_duration between RINGING and BYE.
    EXPECT_GE(r.duration_ns, 10000000u);
}

// Every way to run out of time ends as TIMEOUT within the task's time-out,
// whatever the attempt was blocked on.
TEST(SipTask, TimeOuts) {
    struct Case {
        const char* name;
        QosServerOptions options;
        std::string timeout;
        std::string callDuration;
        uint32_t ringing;
    };
    QosServerOptions silentControl;
    silentControl.silence = QosServerOptions::Silence::Commands;
    QosServerOptions silentAfterTrying;
    silentAfterTrying.sip = Sip::SilentAfterTrying;
    QosServerOptions silentSip;
    silentSip.silentTestConnections = true;
    // With carriage returns no line of the answer is empty: the message
    // never ends.
    QosServerOptions crlf;
    crlf.testCrlf = true;
    const std::vector<Case> cases = {
        {"no reply to SIPTEST", silentControl, "300000000", "10000000", 0},
        {"time-out of zero", {}, "0", "10000000", 0},
        {"no RINGING after TRYING", silentAfterTrying, "300000000", "10000000", 0},
        {"SIP port never answers", silentSip, "300000000", "10000000", 0},
        {"answers with carriage returns never end", crlf, "300000000", "10000000", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        voice_test::ServerWithControl s(c.options);
        ASSERT_TRUE(s.connected);
        auto config = sipConfiguration(s.server.tcpTestPorts().at(0), "3");
        config.timeout = c.timeout;
        config.call_duration = c.callDuration;
        const SipRun run = runSip(s, config);
        ASSERT_TRUE(run.result);
        EXPECT_EQ(run.result->status, "TIMEOUT");
        EXPECT_EQ(run.result->sip_result, "TIMEOUT");
        EXPECT_EQ(run.ringing, c.ringing);
        EXPECT_EQ(run.completed, 0u);
        EXPECT_FLOAT_EQ(run.result->sip_result_dcr, 1.0f);
        EXPECT_LT(run.took, 1000ms);
        EXPECT_LE(s.commandsStartingWith("SIPTEST ").size(), 1u);
    }
}

// A call held longer than the iteration's time-out is hung up before the
// attempt gives up: the BYE reaches the server, the call counts as the
// answer to the BYE says, and the task ends as TIMEOUT within its time-out.
TEST(SipTask, CallOutlastingItsBoundIsHungUp) {
    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    auto config = sipConfiguration(s.server.tcpTestPorts().at(0), "3");
    config.timeout = "2000000000";         // 2 s
    config.call_duration = "5000000000";   // 5 s
    const SipRun run = runSip(s, config);
    ASSERT_TRUE(run.result);
    EXPECT_EQ(run.status, TaskStatus::Timeout);
    EXPECT_EQ(run.result->status, "TIMEOUT");
    EXPECT_EQ(run.ringing, 1u);
    EXPECT_EQ(run.completed, 1u);
    EXPECT_FLOAT_EQ(run.result->sip_result_cssr, 1.0f / 3);
    EXPECT_FLOAT_EQ(run.result->sip_result_ccsr, 1.0f / 3);
    EXPECT_LT(run.took, 2000ms);
    EXPECT_GE(run.took, 1000ms);  // the call was held until shortly before the bound
    // Only the first call was placed, and the server saw its BYE.
    EXPECT_EQ(s.commandsStartingWith("SIPTEST ").size(), 1u);
    ASSERT_TRUE(s.server.waitForTestLines(2, 1s));
    const auto messages = s.server.testLines();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.at(1).rfind("BYE b SIP/2.0\n", 0), 0u) << messages.at(1);
}

TEST(SipTask, ConfigurationFaults) {
    struct Case {
        const char* name;
        std::function<void(SipTaskConfiguration&)> change;
        bool withControl;
        // Without a readable count there are no rates: the runner gets the
        // conversion error and keeps no result.
        std::string resultError;
    };
    const std::vector<Case> cases = {
        {"no count", [](SipTaskConfiguration& c) { c.count.clear(); }, true, "invalid stoul argument"},
        {"no port", [](SipTaskConfiguration& c) { c.port.clear(); }, true, ""},
        {"no server address", [](SipTaskConfiguration& c) { c.server_addr.clear(); }, true, ""},
        {"count not a number", [](SipTaskConfiguration& c) { c.count = "many"; }, true, "invalid stoul argument"},
        {"count beyond 32 bits", [](SipTaskConfiguration& c) { c.count = "4294967296"; }, true,
         "stoul argument out of range"},
        {"call duration not a number", [](SipTaskConfiguration& c) { c.call_duration = "long"; }, true, ""},
        {"no control connection", [](SipTaskConfiguration&) {}, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        voice_test::ServerWithControl s;
        ASSERT_TRUE(s.connected);
        auto config = sipConfiguration(s.server.tcpTestPorts().at(0), "2");
        c.change(config);
        const SipRun run = runSip(s, config, c.withControl);
        EXPECT_EQ(run.status, TaskStatus::Error);
        EXPECT_EQ(run.completed, 0u);
        EXPECT_EQ(run.resultError, c.resultError);
        if (!c.resultError.empty()) {
            EXPECT_FALSE(run.result);
            continue;
        }
        // The result goes out, with the rates of no completed call.
        ASSERT_TRUE(run.result);
        EXPECT_EQ(run.result->status, "ERROR");
        EXPECT_EQ(run.result->sip_result, "ERROR");
        EXPECT_FLOAT_EQ(run.result->sip_result_ccsr, 0.0f);
        EXPECT_FLOAT_EQ(run.result->sip_result_dcr, 1.0f);
    }
}

// A time-out text that is not a number fails the run, and the common result
// members cannot be filled either: no result.
TEST(SipTask, TimeOutTextThatIsNotANumber) {
    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    auto config = sipConfiguration(s.server.tcpTestPorts().at(0), "2");
    config.timeout = "soon";
    const SipRun run = runSip(s, config);
    EXPECT_EQ(run.status, TaskStatus::Error);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.resultError, "invalid stoll argument");
    EXPECT_TRUE(s.commandsStartingWith("SIPTEST ").empty());
}

TEST(SipTask, RefusesConfigurationsOfOtherKinds) {
    VoipTaskConfiguration voip;
    SipTaskConfiguration sip;
    EXPECT_TRUE(SipTask::accepts(&sip));
    EXPECT_FALSE(SipTask::accepts(&voip));
    EXPECT_FALSE(SipTask::accepts(nullptr));

    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    SipTask task;
    task.setConfiguration(&voip);
    task.setControlConnection(s.control.get());
    task.runTask();
    EXPECT_EQ(task.getStatus(), TaskStatus::Error);
    EXPECT_EQ(task.name(), "SIP");
    EXPECT_TRUE(task.needsControlConnection());
}

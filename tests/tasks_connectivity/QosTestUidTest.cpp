// QoS test UIDs that no reply of the QoS server can carry: the server echoes
// the id after " +ID" and only a run of digits is read back, so a task with
// such a UID fails at once instead of waiting out its time-out.

#include "TaskTestSupport.h"

#include "model/QosTaskConfigurations.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/TcpTask.h"
#include "tasks/UdpTask.h"

#include <functional>
#include <vector>

using namespace task_test;
using namespace std::chrono_literals;

namespace {

// Long enough that a task waiting for a reply it cannot match stands out.
constexpr auto kTimeout = 20000ms;

struct Kind {
    const char* name;
    // A complete configuration of the kind against the peer's test ports.
    std::function<std::unique_ptr<TaskConfiguration>(QosPeer&, const std::string& uid)> configure;
    std::function<std::unique_ptr<BaseTask>(TaskConfiguration*)> create;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> all = {
        {"TCP",
         [](QosPeer& peer, const std::string& uid) {
             auto c = std::make_unique<TcpTaskConfiguration>();
             c->qostest = "tcp";
             c->qos_test_uid = uid;
             c->out_port = std::to_string(peer.server.tcpTestPorts().at(0));
             c->timeout = nanos(kTimeout);
             c->server_addr = "127.0.0.1";
             return std::unique_ptr<TaskConfiguration>(std::move(c));
         },
         TcpTask::create},
        {"UDP",
         [](QosPeer& peer, const std::string& uid) {
             auto c = std::make_unique<UdpTaskConfiguration>();
             c->qostest = "udp";
             c->qos_test_uid = uid;
             c->out_port = std::to_string(peer.server.udpTestPorts().at(0));
             c->out_num_packets = "2";
             c->delay = "1000000";
             c->timeout = nanos(kTimeout);
             c->server_addr = "127.0.0.1";
             c->agentUuid = kAgentUuid;
             return std::unique_ptr<TaskConfiguration>(std::move(c));
         },
         UdpTask::create},
        {"NON_TRANSPARENT_PROXY",
         [](QosPeer& peer, const std::string& uid) {
             auto c = std::make_unique<NonTransparentProxyTaskConfiguration>();
             c->qostest = "non_transparent_proxy";
             c->qos_test_uid = uid;
             c->port = std::to_string(peer.server.tcpTestPorts().at(0));
             c->request = "GET /proxy-check HTTP/1.1";
             c->timeout = nanos(kTimeout);
             c->server_addr = "127.0.0.1";
             return std::unique_ptr<TaskConfiguration>(std::move(c));
         },
         NonTransparentProxyTask::create},
    };
    return all;
}

}  // namespace

TEST(QosTestUid, DigitsOnlyAreMatchedToTheirReply) {
    for (const auto& kind : kinds()) {
        SCOPED_TRACE(kind.name);
        // The same configuration with a UID of digits passes: what fails below
        // fails for its UID alone.
        QosPeer peer;
        auto config = kind.configure(peer, "5");
        auto task = kind.create(config.get());
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Ok) << outcome.printed;
        ASSERT_NE(outcome.result, nullptr) << outcome.resultFailure;
        EXPECT_EQ(outcome.result->objective_id, 5);
    }
}

TEST(QosTestUid, OtherUidsFailAtOnceWithoutARequest) {
    for (const auto& kind : kinds()) {
        for (const std::string uid : {"-5", "+5", "5 ", "0x5", "five"}) {
            SCOPED_TRACE(std::string(kind.name) + " uid '" + uid + "'");
            QosPeer peer;
            auto config = kind.configure(peer, uid);
            auto task = kind.create(config.get());
            const auto outcome = runTask(*task, peer.control.get());

            EXPECT_EQ(outcome.status, TaskStatus::Error);
            EXPECT_LT(outcome.took, kTimeout / 2);
            EXPECT_NE(outcome.printed.find("QoS test UID '" + uid + "' of task " + task->name() +
                                           " is not a run of decimal digits"),
                      std::string::npos)
                << outcome.printed;
            EXPECT_TRUE(peer.commands().empty());
        }
    }
}

TEST(QosTestUid, ANegativeUidStillGivesItsResult) {
    QosPeer peer;
    auto config = kinds().front().configure(peer, "-5");
    auto task = kinds().front().create(config.get());
    const auto outcome = runTask(*task, peer.control.get());
    EXPECT_EQ(outcome.status, TaskStatus::Error);
    ASSERT_NE(outcome.result, nullptr) << outcome.resultFailure;
    EXPECT_EQ(outcome.result->objective_id, -5);
    EXPECT_EQ(outcome.result->qos_test_uid, "-5");
    EXPECT_EQ(outcome.result->status, "ERROR");
}

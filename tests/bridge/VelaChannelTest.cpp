// The measurement channel: argument checks and replies of registerAgent,
// startMeasurement and setFlutterConfiguration, with registration and a
// short measurement against the loopback back end.

#include "BridgeFixture.h"

#include "VelaChannel.h"

#include "BackendServer.h"
#include "MeasurementTestSupport.h"
#include "QosServer.h"
#include "service/UiConfiguration.h"

#include <boost/json.hpp>

using namespace bridge_test;
using flutter::EncodableValue;
using flutter::MethodReply;
using trevask::measurement_library::UiConfiguration;

namespace {

const char* kVela = "at.trevask.lumivex/vela";
const char* kStatus = "at.trevask.lumivex/vela-results/measurement-status";

class VelaChannelTest : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        onPlatform([this] { trevask::registerVelaChannels(engine.get()); });
        connect();
    }
    void TearDown() override {
        trevask::waitForVelaWorker();
        EngineFixture::TearDown();
    }
    MethodReply call(const std::string& method, const EncodableValue& args, std::chrono::milliseconds t = 5s) {
        auto r = ui.InvokeMethod(kVela, method, args, t);
        EXPECT_TRUE(r) << method << " got no reply";
        return r.value_or(MethodReply{});
    }
};

TEST_F(VelaChannelTest, ArgumentErrorsAreAnsweredWithTheirTextAsCode) {
    const EncodableValue url("http://127.0.0.1:1");
    struct Case {
        const char* method;
        EncodableValue args;
        const char* code;
    };
    const std::vector<Case> cases = {
        {"registerAgent", EncodableValue("text"), "Invalid arguments passed"},
        {"registerAgent", EncodableValue(), "Invalid arguments passed"},
        {"registerAgent", map({}), "Invalid url passed"},
        {"registerAgent", map({{"url", EncodableValue(5)}}), "Invalid url passed"},
        {"registerAgent", map({{"url", EncodableValue("")}}), "Empty url passed"},
        {"registerAgent", map({{"url", url}}), "tcVersionAccepted missing"},
        {"registerAgent", map({{"url", url}, {"tcVersionAccepted", EncodableValue(true)}}), "tcVersionAccepted missing"},
        {"registerAgent", map({{"url", url}, {"tcVersionAccepted", EncodableValue(std::int64_t{1})}}),
         "tcVersionAccepted missing"},
        {"registerAgent", map({{"url", url}, {"tcVersionAccepted", EncodableValue(1)}, {"isTcAccepted", EncodableValue(1)}}),
         "isTcAccepted missing"},
        {"startMeasurement", map({{"controllerUrl", url}}), "Invalid arguments passed"},
        {"setFlutterConfiguration", EncodableValue("x"), "Invalid arguments passed"},
        // A worker whose parameters fail to read answers with the failure's text.
        {"startMeasurement", EncodableValue("[1]"), "not an object"},
        {"startMeasurement", EncodableValue(R"({"performQos":1})"), "bool required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        MethodReply r = call(c.method, c.args);
        EXPECT_EQ(r.kind, MethodReply::Kind::Error);
        EXPECT_EQ(r.errorCode, c.code);
        EXPECT_EQ(r.errorMessage, "");
        EXPECT_TRUE(r.value.IsNull());
    }
    // Text that is not JSON at all is answered too, never left open.
    MethodReply r = call("startMeasurement", EncodableValue("{not json"));
    EXPECT_EQ(r.kind, MethodReply::Kind::Error);
    EXPECT_FALSE(r.errorCode.empty());

    EXPECT_EQ(call("unknownMethod", map({})).kind, MethodReply::Kind::NotImplemented);
}

TEST_F(VelaChannelTest, SetFlutterConfigurationStoresValuesWithDefaults) {
    UiConfiguration::reset();
    MethodReply r = call("setFlutterConfiguration", map({{"appVersionCode", EncodableValue("12")}}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    EXPECT_EQ(r.value, EncodableValue(std::string()));  // an empty text, not null
    auto c = UiConfiguration::current();
    EXPECT_EQ(c.configTimezone, "0");
    EXPECT_EQ(c.configAppVersionName, "");
    EXPECT_EQ(c.configAppVersionCode, 0);
    EXPECT_EQ(c.configAppGitRevision, "");

    r = call("setFlutterConfiguration", map({{"timezone", EncodableValue("Europe/Vienna")},
                                             {"appVersionName", EncodableValue("1.2")},
                                             {"appVersionCode", EncodableValue(42)},
                                             {"appGitRevision", EncodableValue("abc")}}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    c = UiConfiguration::current();
    EXPECT_EQ(c.configTimezone, "Europe/Vienna");
    EXPECT_EQ(c.configAppVersionName, "1.2");
    EXPECT_EQ(c.configAppVersionCode, 42);
    EXPECT_EQ(c.configAppGitRevision, "abc");
    UiConfiguration::reset();
}

TEST_F(VelaChannelTest, RegisterAgentAnswersWithTheEnvelopesData) {
    lumivex::test::BackendServer backend;
    backend.start();
    backend.setRegistrationBody(R"({"data":{"agent_uuid":"u-1"},"errors":null})");
    EncodableValue args = map({{"url", EncodableValue(backend.baseUrl())},
                               {"tcVersionAccepted", EncodableValue(65537)},
                               {"isTcAccepted", EncodableValue(true)},
                               {"agentUuid", EncodableValue(3)},
                               {"groupName", EncodableValue(4)}});
    MethodReply r = call("registerAgent", args);
    ASSERT_EQ(r.kind, MethodReply::Kind::Success) << r.errorCode << " " << r.errorMessage;
    EXPECT_EQ(r.value, EncodableValue(R"({"agent_uuid":"u-1"})"));
    auto seen = backend.requests(lumivex::test::BackendServer::Endpoint::Registration);
    ASSERT_EQ(seen.size(), 1u);
    // The version travels in 16 bits.
    auto body = boost::json::parse(seen[0].body);
    EXPECT_EQ(body.at("data").at("terms_and_conditions_accepted_version"), boost::json::value(1));

    backend.setRegistrationBody(R"({"errors":["rejected"]})");
    r = call("registerAgent", args);
    EXPECT_EQ(r.kind, MethodReply::Kind::Error);
    EXPECT_EQ(r.errorCode, "server_error");
    EXPECT_EQ(r.errorMessage, R"(["rejected"])");
}

TEST_F(VelaChannelTest, MeasurementSendsItsStatusBeforeTheSuccessAnswer) {
    lumivex::test::BackendServer backend;
    backend.start();
    lumivex::test_peers::QosServer qos;
    qos.start();
    backend.setCollectorUuids("m-uuid", "o-uuid");
    measurement_test::DocumentSpec docShape;
    docShape.qosPort = qos.controlPort();
    docShape.tcp = {{"101", 1, qos.tcpTestPorts().at(0)}};
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(measurement_test::controlDocument(docShape));
    ASSERT_TRUE(ui.Listen(kStatus, 2s));
    std::string params = R"({"controllerUrl":")" + backend.controllerUrl() +
                         R"(","performSpeed":false,"performQos":true,"performQosType":{"TCP":true}})";
    MethodReply r = call("startMeasurement", EncodableValue(params), 20s);
    ASSERT_EQ(r.kind, MethodReply::Kind::Success) << r.errorCode;
    EXPECT_TRUE(r.value.IsNull());
    auto e = ui.NextEvent(1s);
    ASSERT_TRUE(e);  // already queued before the answer
    EXPECT_EQ(e->channel, kStatus);
    EXPECT_EQ(e->value, EncodableValue(R"({"measurementState":"resultSent","error":null,"measurementUuid":"m-uuid", "openDataUuid": "o-uuid"})"));
    EXPECT_FALSE(ui.NextEvent(50ms));

    // No answer from the collector: "Empty server response" and no status.
    backend.misbehave(lumivex::test::BackendServer::Endpoint::Collector,
                      lumivex::test::BackendServer::Misbehaviour::ServerErrorNoData);
    r = call("startMeasurement", EncodableValue(params), 20s);
    EXPECT_EQ(r.kind, MethodReply::Kind::Error);
    EXPECT_EQ(r.errorCode, "Empty server response");
    EXPECT_FALSE(ui.NextEvent(50ms));
}

}  // namespace

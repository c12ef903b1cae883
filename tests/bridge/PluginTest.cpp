// Back-end replies and argument readers, the event texts, and the
// crash-reporter and system channels.

#include "BridgeFixture.h"

#include "EventChannels.h"
#include "SentryChannel.h"
#include "ServerResponse.h"
#include "SystemChannel.h"

#include "helper/SentryHelper.h"
#include "model/AgentApiResponses.h"
#include "platform/flutter/HeadlessWindow.h"
#include "tasks/MeasurementCallbacks.h"

#include <sstream>

using namespace bridge_test;
using flutter::EncodableValue;
using flutter::MethodReply;

namespace {

// Answers captured without a socket.
MethodReply replyOf(const std::optional<std::string>& response, bool wholeBody) {
    flutter::ByteBuffer bytes;
    {
        flutter::MethodResult result([&](const std::uint8_t* d, std::size_t n) { bytes.assign(d, d + n); },
                                     &flutter::StandardMethodCodec::GetInstance());
        trevask::replyWithServerResponse(response, result, wholeBody);
    }
    return flutter::StandardMethodCodec::GetInstance().DecodeEnvelope(bytes.data(), bytes.size());
}

TEST(ServerResponse, RepliesFollowTheEnvelope) {
    struct Case {
        std::optional<std::string> body;
        bool wholeBody;
        MethodReply::Kind kind;
        std::string textOrCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {std::nullopt, true, MethodReply::Kind::Error, "No server response", ""},
        {std::nullopt, false, MethodReply::Kind::Error, "No server response", ""},
        {"", true, MethodReply::Kind::Success, "", ""},
        {"<html>", true, MethodReply::Kind::Success, "<html>", ""},
        {R"({"data": {"a": 1}})", false, MethodReply::Kind::Success, R"({"a":1})", ""},
        {R"({"errors":["x"]})", false, MethodReply::Kind::Error, "server_error", R"(["x"])"},
        {"not json", false, MethodReply::Kind::Error, "server_error", "not json"},
        {R"({"data":null})", false, MethodReply::Kind::Error, "server_error", R"({"data":null})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.value_or("<none>"));
        MethodReply r = replyOf(c.body, c.wholeBody);
        ASSERT_EQ(r.kind, c.kind);
        if (c.kind == MethodReply::Kind::Success) {
            EXPECT_EQ(r.value, EncodableValue(c.textOrCode));
        } else {
            EXPECT_EQ(r.errorCode, c.textOrCode);
            EXPECT_EQ(r.errorMessage, c.message);
        }
    }
}

TEST(ServerResponse, ReadersTakeOnlyTheExactKind) {
    flutter::EncodableMap args = *map({{"page", EncodableValue(std::int64_t{1} << 40)},
                                       {"small", EncodableValue(3)},
                                       {"lat", EncodableValue(48)},
                                       {"lon", EncodableValue(16.5)},
                                       {"s", EncodableValue("x")},
                                       {"m", map({{"a", EncodableValue("b")}})}})
                                      .getIf<flutter::EncodableMap>();
    EXPECT_FALSE(trevask::getOptionalInt(args, "page"));
    EXPECT_EQ(trevask::getOptionalInt(args, "small"), 3);
    EXPECT_FALSE(trevask::getOptionalDouble(args, "lat"));
    EXPECT_EQ(trevask::getOptionalDouble(args, "lon"), 16.5);
    EXPECT_EQ(trevask::getOptionalString(args, "s"), "x");
    EXPECT_FALSE(trevask::getOptionalString(args, "small"));
    EXPECT_FALSE(trevask::getOptionalString(args, "missing"));
    EXPECT_TRUE(trevask::getOptionalMap(args, "m"));
    EXPECT_FALSE(trevask::getOptionalMap(args, "s"));

    flutter::EncodableMap mixed{{EncodableValue("text"), EncodableValue("pair")},
                                {EncodableValue("number"), EncodableValue(1)},
                                {EncodableValue(5), EncodableValue("numeric key")}};
    auto converted = trevask::toStringMap(mixed);
    ASSERT_TRUE(converted);
    EXPECT_EQ(*converted, (std::map<std::string, std::string>{{"text", "pair"}}));
    auto emptyMap = trevask::toStringMap(flutter::EncodableMap{});
    ASSERT_TRUE(emptyMap);
    EXPECT_TRUE(emptyMap->empty());
    EXPECT_FALSE(trevask::toStringMap(std::nullopt));
}

TEST(EventTexts, IntermediateStatusAndQosTextsHaveTheirExactForm) {
    trevask::vela::IntermediateMeasurementCallback r;
    r.downloadAverageMbps = 1234567.0;
    r.uploadAverageMbps = 0.000012345;
    r.rttAverageMilliseconds = 12.5;
    r.isPretest = true;
    r.currentPhase = "DOWN";
    r.phaseProgress = 1;
    r.totalProgress = 1;
    r.numPhases = 4;
    r.currentPhaseNum = 2;
    r.serverName = "Vienna";
    r.serverLocation = "AT";
    r.providerName = "P";
    r.agentPublicIp = "192.0.2.1";
    std::ostringstream out;
    trevask::intermediateResultToJson(out, r);
    EXPECT_EQ(out.str(),
              R"({"downloadAverageMbps":1.23457e+06, "uploadAverageMbps":1.2345e-05, "rttAverageMilliseconds":12.5, )"
              R"("isPretest":true, "currentPhase":"DOWN", "phaseProgress":1, "numPhases":4, "currentPhaseNum":2, )"
              R"("totalProgress":1, "serverName":"Vienna", "serverLocation":"AT", "providerName":"P", "agentPublicIp":"192.0.2.1"})");

    trevask::measurement_library::MeasurementResultResponse answer;
    answer.uuid = "m";
    answer.open_data_uuid = "o";
    EXPECT_EQ(trevask::measurementStatusToJson(answer),
              R"({"measurementState":"resultSent","error":null,"measurementUuid":"m", "openDataUuid": "o"})");
    answer.certified_measurement_uuid = "";
    EXPECT_EQ(trevask::measurementStatusToJson(answer),
              R"({"measurementState":"resultSent","error":null,"measurementUuid":"m", "openDataUuid": "o", "certifiedMeasurementUuid": ""})");

    auto update = std::make_shared<trevask::vela::QosProgressUpdate>();
    update->qos_test_state = "RUNNING \"x\"";
    update->progress = 0.5;
    update->finished_qos_types = {"TCP"};
    update->qos_type_to_progress = {{"UDP", 0.25f}, {"TCP", 1.0f}};
    EXPECT_EQ(trevask::qosProgressToJson(update),
              R"({"qos_test_state":"RUNNING \"x\"","progress":5E-1,"started_qos_types":[],"finished_qos_types":["TCP"],)"
              R"("qos_type_to_progress":{"TCP":1E0,"UDP":2.5E-1}})");
    EXPECT_EQ(trevask::qosProgressToJson(nullptr), "null");
}

class PluginChannelTest : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        onPlatform([this] {
            trevask::registerSentryChannel(engine.get());
            trevask::registerSystemChannel(engine.get());
            trevask::replaceEventChannel(trevask::intermediateResultsChannel,
                                         new trevask::EncodableEventChannel(engine.get(), kIntermediate));
        });
        connect();
    }
    MethodReply call(const char* channel, const char* method, const EncodableValue& args) {
        auto r = ui.InvokeMethod(channel, method, args, 5s);
        EXPECT_TRUE(r) << method;
        return r.value_or(MethodReply{});
    }
    static constexpr const char* kIntermediate = "at.trevask.lumivex/vela-results/intermediate";
    static constexpr const char* kSentry = "at.trevask.lumivex/sentry";
};

TEST_F(PluginChannelTest, SentryChannelChecksArgumentsAndDrivesTheReporter) {
    using trevask::measurement_library::SentryHelper;
    struct Case {
        const char* method;
        EncodableValue args;
        const char* code;
    };
    const std::vector<Case> errors = {
        {"closeSentry", EncodableValue(), "Invalid arguments passed"},
        {"configureSentry", EncodableValue("x"), "Invalid arguments passed"},
        {"unknown", EncodableValue(), "Invalid arguments passed"},
        {"configureSentry", map({{"dsn", EncodableValue(1)}}), "Invalid dsn passed"},
        {"configureSentry", map({}), "Invalid dsn passed"},
        {"configureSentry", map({{"dsn", EncodableValue("")}}), "Empty dsn passed"},
    };
    for (const auto& c : errors) {
        SCOPED_TRACE(c.code);
        MethodReply r = call(kSentry, c.method, c.args);
        EXPECT_EQ(r.kind, MethodReply::Kind::Error);
        EXPECT_EQ(r.errorCode, c.code);
        EXPECT_EQ(r.errorMessage, "");
    }
    EXPECT_FALSE(SentryHelper::isEnabled());
    EXPECT_EQ(call(kSentry, "unknown", map({})).kind, MethodReply::Kind::NotImplemented);

    // A DSN on loopback whose port nobody serves: nothing leaves the machine.
    MethodReply r = call(kSentry, "configureSentry", map({{"dsn", EncodableValue("http://key@127.0.0.1:9/1")}}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    EXPECT_TRUE(r.value.IsNull());
    EXPECT_TRUE(SentryHelper::isEnabled());
    r = call(kSentry, "updateSentryContext",
             map({{"agentUuid", EncodableValue("a-1")},
                  {"contextOptions", map({{"k", EncodableValue("v")}, {"n", EncodableValue(1)}})}}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    r = call(kSentry, "updateSentryContext", map({{"contextOptions", EncodableValue("not a map")}}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    r = call(kSentry, "closeSentry", map({}));
    EXPECT_EQ(r.kind, MethodReply::Kind::Success);
    EXPECT_TRUE(r.value.IsNull());
}

TEST_F(PluginChannelTest, SystemChannelAnswersTheWindowScaleWhateverTheArguments) {
    win32::windowScale = 1.5;
    for (const EncodableValue& args : {EncodableValue(), EncodableValue("text")}) {
        MethodReply r = call("at.trevask.lumivex/system", "requestWindowScale", args);
        EXPECT_EQ(r.kind, MethodReply::Kind::Success);
        EXPECT_EQ(r.value, EncodableValue(1.5));
    }
    EXPECT_EQ(call("at.trevask.lumivex/system", "other", EncodableValue()).kind, MethodReply::Kind::NotImplemented);
    win32::windowScale = 1.0;
}

TEST_F(PluginChannelTest, IntermediateEventsReachOnlyASubscribedUi) {
    trevask::vela::IntermediateMeasurementCallback r;
    r.currentPhase = "before";
    trevask::sendIntermediateResult(r);  // nobody listens: dropped
    ASSERT_TRUE(ui.Listen(kIntermediate, 2s));
    ASSERT_TRUE(ui.Listen(kIntermediate, 2s));  // the newest subscription counts once
    r.currentPhase = "during";
    std::thread([&] { trevask::sendIntermediateResult(r); }).join();
    auto e = ui.NextEvent(2s);
    ASSERT_TRUE(e);
    ASSERT_TRUE(e->value.holds<std::string>());
    EXPECT_NE(e->value.getIf<std::string>()->find(R"("currentPhase":"during")"), std::string::npos);
    EXPECT_FALSE(ui.NextEvent(50ms));
    ASSERT_TRUE(ui.Cancel(kIntermediate, 2s));
    trevask::sendIntermediateResult(r);
    EXPECT_FALSE(ui.NextEvent(50ms));
}

TEST(WindowScale, OriginAndSizeAreScaledAndTruncated) {
    struct Case {
        double scale;
        win32::Point origin;
        win32::Size size;
    };
    for (const Case& c : {Case{1.0, {10, 10}, {1200, 768}}, Case{1.5, {15, 15}, {1800, 1152}},
                          Case{1.25, {12, 12}, {1500, 960}}}) {
        auto o = win32::ScalePoint({10, 10}, c.scale);
        auto s = win32::ScaleSize({1200, 768}, c.scale);
        EXPECT_EQ(o.x, c.origin.x);
        EXPECT_EQ(o.y, c.origin.y);
        EXPECT_EQ(s.width, c.size.width);
        EXPECT_EQ(s.height, c.size.height);
    }
}

}  // namespace

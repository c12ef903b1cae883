// Back-end replies and argument readers, the event texts, and the
// crash-reporter and system channels.

#include "BridgeFixture.h"

#include "EventChannels.h"
#include "InformationCollectorChannel.h"
#include "SentryChannel.h"
#include "ServerResponse.h"
#include "SystemChannel.h"
#include "Workers.h"

#include "helper/SentryHelper.h"
#include "helper/system/InformationCallback.h"
#include "model/AgentApiResponses.h"
#include "platform/flutter/HeadlessWindow.h"
#include "tasks/MeasurementCallbacks.h"

#include <boost/json.hpp>

#include <limits>
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

TEST(EventTexts, InsertedTextsAreEscapedAndNonFiniteNumbersAreNull) {
    trevask::vela::IntermediateMeasurementCallback r;
    r.downloadAverageMbps = std::numeric_limits<double>::quiet_NaN();
    r.uploadAverageMbps = std::numeric_limits<double>::infinity();
    r.phaseProgress = -std::numeric_limits<float>::infinity();
    r.currentPhase = "down\"load";
    r.serverName = "Wien \"1\"\\";
    r.serverLocation = "line\nbreak\x01";
    r.providerName = "P";
    r.agentPublicIp = "\", \"injected\": \"x";
    std::ostringstream out;
    trevask::intermediateResultToJson(out, r);
    boost::system::error_code ec;
    auto parsed = boost::json::parse(out.str(), ec);
    ASSERT_FALSE(ec) << out.str();
    const auto& o = parsed.as_object();
    EXPECT_EQ(o.size(), 13u) << out.str();
    EXPECT_TRUE(o.at("downloadAverageMbps").is_null());
    EXPECT_TRUE(o.at("uploadAverageMbps").is_null());
    EXPECT_TRUE(o.at("phaseProgress").is_null());
    EXPECT_EQ(o.at("currentPhase"), boost::json::value("down\"load"));
    EXPECT_EQ(o.at("serverName"), boost::json::value("Wien \"1\"\\"));
    EXPECT_EQ(o.at("serverLocation"), boost::json::value("line\nbreak\x01"));
    EXPECT_EQ(o.at("agentPublicIp"), boost::json::value("\", \"injected\": \"x"));
    // The layout of the text stays as it was for plain values.
    EXPECT_NE(out.str().find(R"({"downloadAverageMbps":null, "uploadAverageMbps":null, )"), std::string::npos);

    trevask::measurement_library::MeasurementResultResponse answer;
    answer.uuid = "m\"1\\";
    answer.open_data_uuid = "o\", \"x\": \"y";
    answer.certified_measurement_uuid = "c\n";
    std::string status = trevask::measurementStatusToJson(answer);
    auto statusJson = boost::json::parse(status, ec);
    ASSERT_FALSE(ec) << status;
    EXPECT_EQ(statusJson.as_object().size(), 5u) << status;
    EXPECT_EQ(statusJson.at("measurementUuid"), boost::json::value("m\"1\\"));
    EXPECT_EQ(statusJson.at("openDataUuid"), boost::json::value("o\", \"x\": \"y"));
    EXPECT_EQ(statusJson.at("certifiedMeasurementUuid"), boost::json::value("c\n"));
}

TEST(EventTexts, EscapingIsByteExact) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
        {std::string("\x00\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
        // DEL, the slash and bytes beyond ASCII (valid UTF-8 or not) stay as they are.
        {"\x7f/\xc3\xa9\xe2\x80\xa8\xc3", "\x7f/\xc3\xa9\xe2\x80\xa8\xc3"},
        {"", ""},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(trevask::escapeJsonText(text), escaped) << text;
}

TEST(InformationTexts, SamplesBecomeTheirMessagesInOrder) {
    using trevask::measurement_library::CpuRamInformation;
    using trevask::measurement_library::InformationCallback;
    using trevask::measurement_library::TrafficInformation;
    struct Case {
        const char* name;
        InformationCallback sample;
        std::vector<std::string> texts;
    };
    auto sample = [](auto fill) {
        InformationCallback s;
        fill(s);
        return s;
    };
    const std::vector<Case> cases = {
        {"all parts", sample([](InformationCallback& s) {
             s.traffic = TrafficInformation{1500, std::nullopt};
             s.networkTypeId = 98;
             s.technology = "LAN";
             s.cpuRam = CpuRamInformation{0.25f, 0.5f};
         }),
         {R"({"type": "TRAFFIC_MESSAGE", "message": {"txBytes": 0, "txBps": 0, "rxBytes": 1500, "rxBps": 12000, "duration": 1000}})",
          R"({"type": "NETWORK_MESSAGE", "message": {"network_type_id": 98}})",
          R"({"type": "SIGNAL_MESSAGE", "message": {"signal": null, "technology": "LAN"}})",
          R"({"type":"CPU_RAM_MESSAGE","message":{"cpu_usage":0.250000,"ram_usage":0.500000}})"}},
        {"no traffic, only memory", sample([](InformationCallback& s) {
             s.traffic = TrafficInformation{0, 0};
             s.networkTypeId = 95;
             s.cpuRam = CpuRamInformation{std::nullopt, 0.5f};
         }),
         {R"({"type": "NETWORK_MESSAGE", "message": {"network_type_id": 95}})",
          R"({"type":"CPU_RAM_MESSAGE","message":{"ram_usage":0.500000}})"}},
        {"provider, negative code, empty load", sample([](InformationCallback& s) {
             s.providerName = "A \"B\"";
             s.networkTypeId = -1;
             s.cpuRam = CpuRamInformation{};
         }),
         {R"({"type": "NETWORK_MESSAGE", "message": {"providerName": "A \"B\"", "network_type_id": -1}})",
          R"({"type":"CPU_RAM_MESSAGE","message":{}})"}},
        {"loads that are not numbers", sample([](InformationCallback& s) {
             s.technology = "W\\LAN";
             s.cpuRam = CpuRamInformation{std::numeric_limits<float>::quiet_NaN(),
                                          std::numeric_limits<float>::infinity()};
         }),
         {R"({"type": "SIGNAL_MESSAGE", "message": {"signal": null, "technology": "W\\LAN"}})",
          R"({"type":"CPU_RAM_MESSAGE","message":{"cpu_usage":null,"ram_usage":null}})"}},
        {"nothing", InformationCallback{}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto texts = trevask::informationMessages(c.sample);
        EXPECT_EQ(texts, c.texts);
        for (const auto& t : texts) {
            boost::system::error_code ec;
            boost::json::parse(t, ec);
            EXPECT_FALSE(ec) << t;
        }
    }

    EXPECT_EQ(trevask::agentIpMessage({{"IPv4", "NAT"}, {"IPv4_IP", ""}}),
              R"({"type":"IP_MESSAGE","message":{"ipStatus":{"IPv4":"NAT","IPv4_IP": null}}})");
    EXPECT_EQ(trevask::agentIpMessage({{"IPv6", "PUBLIC"}, {"IPv6_IP", "2001:db8::\"1"}}),
              R"({"type":"IP_MESSAGE","message":{"ipStatus":{"IPv6":"PUBLIC","IPv6_IP":"2001:db8::\"1"}}})");
}

TEST(Workers, StartingNeverWaitsAndOrderedWorkersFinishInOrder) {
    trevask::WorkerSet workers;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::vector<int> finished;
    auto record = [&](int n) {
        std::lock_guard lock(mutex);
        finished.push_back(n);
    };
    // The first blocks until released; starting more does not wait for it.
    workers.start([&] {
        released.wait();
        record(1);
    });
    workers.start([&] { record(2); }, true);  // after the first
    std::promise<void> thirdDone;
    workers.start([&] {
        record(3);
        thirdDone.set_value();
    });  // independent
    ASSERT_EQ(thirdDone.get_future().wait_for(10s), std::future_status::ready);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(finished, std::vector<int>{3});
    }
    release.set_value();
    workers.waitAll();
    EXPECT_EQ(finished, (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(workers.size(), 0u);
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
    onPlatform([] { win32::windowScale = 1.5; });
    for (const EncodableValue& args : {EncodableValue(), EncodableValue("text")}) {
        MethodReply r = call("at.trevask.lumivex/system", "requestWindowScale", args);
        EXPECT_EQ(r.kind, MethodReply::Kind::Success);
        EXPECT_EQ(r.value, EncodableValue(1.5));
    }
    EXPECT_EQ(call("at.trevask.lumivex/system", "other", EncodableValue()).kind, MethodReply::Kind::NotImplemented);
    onPlatform([] { win32::windowScale = 1.0; });
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

TEST_F(PluginChannelTest, ADeeplyNestedCallLeavesTheUiAnswered) {
    onPlatform([] { win32::windowScale = 1.5; });  // where the window sets it
    // "requestWindowScale" with a map of two equal keys, each a chain of
    // maps 60 deep: the keys must be compared all the way down.
    flutter::ByteBuffer frame{7, 18};
    for (char c : std::string("requestWindowScale")) frame.push_back(static_cast<std::uint8_t>(c));
    frame.insert(frame.end(), {13, 2});
    for (int key = 0; key < 2; ++key) {
        for (int i = 0; i < 60; ++i) frame.insert(frame.end(), {13, 1});
        frame.push_back(0);
        for (int i = 0; i < 60; ++i) frame.push_back(0);
        frame.push_back(1);  // the key's value
    }
    auto raw = ui.SendRaw("at.trevask.lumivex/system", frame, 5s);
    ASSERT_TRUE(raw) << "the nested call was not answered";
    auto decoded = flutter::StandardMethodCodec::GetInstance().DecodeEnvelope(raw->data(), raw->size());
    EXPECT_EQ(decoded.kind, MethodReply::Kind::Success);
    EXPECT_EQ(decoded.value, EncodableValue(1.5));
    // And the next call is answered as usual.
    EXPECT_EQ(call("at.trevask.lumivex/system", "requestWindowScale", EncodableValue()).value, EncodableValue(1.5));
    onPlatform([] { win32::windowScale = 1.0; });
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

#include "ModelTestSupport.h"

#include "model/MeasurementTypeParameters.h"
#include "model/QosTaskConfigurations.h"

#include <gtest/gtest.h>

using namespace trevask::measurement_library;
using model_test::parse;
using model_test::raised;

namespace {

std::unique_ptr<MeasurementTypeParameters> readTypeParameters(const std::string& text) {
    return readMeasurementTypeParameters(parse(text));
}

SpeedMeasurementTypeParameters* asSpeed(const std::unique_ptr<MeasurementTypeParameters>& p) {
    return dynamic_cast<SpeedMeasurementTypeParameters*>(p.get());
}

QoSMeasurementTypeParameters* asQos(const std::unique_ptr<MeasurementTypeParameters>& p) {
    return dynamic_cast<QoSMeasurementTypeParameters*>(p.get());
}

}  // namespace

TEST(MeasurementTypeParameters, SelectorPicksTheKind) {
    struct Case {
        const char* text;
        const char* kind;  // "speed", "qos" or "" for no record
    } cases[] = {
        {R"({"deserialize_type":"speed_params"})", "speed"},
        {R"({"deserialize_type":"SPEED_PARAMS"})", "speed"},
        {R"({"deserialize_type":"Qos_Params"})", "qos"},
        {R"({"deserialize_type":"program_params"})", ""},
        {R"({"deserialize_type":"speed"})", ""},
        {R"({"deserialize_type":1})", ""},
        {R"({})", ""},
        {R"(["speed_params"])", ""},
        {"null", ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<MeasurementTypeParameters> p;
        ASSERT_NO_THROW(p = readTypeParameters(c.text)) << c.text;
        const std::string kind = c.kind;
        if (kind.empty()) {
            EXPECT_EQ(p, nullptr) << c.text;
        } else if (kind == "speed") {
            ASSERT_TRUE(asSpeed(p)) << c.text;
            EXPECT_EQ(p->deserialize_type, "speed_params");  // canonical text whatever the case read
        } else {
            ASSERT_TRUE(asQos(p)) << c.text;
            EXPECT_EQ(p->deserialize_type, "qos_params");
        }
    }
    EXPECT_EQ(ProgramTaskTypeParameters().deserialize_type, "program_params");
}

TEST(MeasurementTypeParameters, SpeedWithoutKeys) {
    auto p = readTypeParameters(R"({"deserialize_type":"SPEED_PARAMS"})");
    ASSERT_TRUE(asSpeed(p));
    EXPECT_EQ(asSpeed(p)->base_url, "");
    EXPECT_FALSE(asSpeed(p)->measurement_configuration);
    EXPECT_TRUE(p->options.empty());
}

TEST(MeasurementTypeParameters, SpeedReadsServerAndStreams) {
    auto p = readTypeParameters(R"({"deserialize_type":"speed_params",
        "measurement_server":{"base_url":"https://m.example","name":"x"},
        "measurement_configuration":{
            "upload":[{"isDefault":true,"streams":4,"frameSize":1024,"bounds":{"lower":0.5,"upper":100}}],
            "download":[{}, {"isDefault":"yes","bounds":{"upper":7}}]}})");
    auto* speed = asSpeed(p);
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->base_url, "https://m.example");
    ASSERT_TRUE(speed->measurement_configuration);
    const auto& config = *speed->measurement_configuration;
    ASSERT_EQ(config.upload.size(), 1u);
    EXPECT_EQ(config.upload[0].isDefault, true);
    EXPECT_EQ(config.upload[0].streams, 4);
    EXPECT_EQ(config.upload[0].frameSize, 1024);
    EXPECT_EQ(config.upload[0].bounds, (SpeedStreamBounds{0.5, 100.0}));
    ASSERT_EQ(config.download.size(), 2u);
    EXPECT_EQ(config.download[0], SpeedStreamConfiguration{});  // no is-default, 0, 0, bounds 0/0
    EXPECT_FALSE(config.download[1].isDefault);                 // a string is not a bool: no value
    EXPECT_EQ(config.download[1].bounds, (SpeedStreamBounds{0.0, 7.0}));

    auto noUrl = readTypeParameters(R"({"deserialize_type":"speed_params","measurement_server":{}})");
    ASSERT_TRUE(asSpeed(noUrl));
    EXPECT_EQ(asSpeed(noUrl)->base_url, "");
}

TEST(MeasurementTypeParameters, FailuresInsideTheMeasurementConfigurationOnlyEmptyIt) {
    for (const char* config : {
             R"({"upload":{}})",
             R"("text")",
             R"({"download":[{"streams":1.5}]})",
             R"({"download":[{"bounds":{"lower":"1"}}]})",
             R"({"upload":[{"streams":1}], "download":[7]})",
             R"({"upload":[{"bounds":[]}]})",
             "null",
         }) {
        std::unique_ptr<MeasurementTypeParameters> p;
        ASSERT_NO_THROW(p = readTypeParameters(std::string(R"({"deserialize_type":"speed_params",
            "measurement_server":{"base_url":"u"},"measurement_configuration":)") + config + "}"))
            << config;
        ASSERT_TRUE(asSpeed(p)) << config;
        EXPECT_FALSE(asSpeed(p)->measurement_configuration) << config;
        EXPECT_EQ(asSpeed(p)->base_url, "u") << config;
    }

    // Read into a record that already holds a configuration, a failure still empties it.
    SpeedMeasurementTypeParameters speed;
    speed.measurement_configuration.emplace();
    readSpeedMeasurementTypeParameters(parse(R"({"measurement_configuration":{"upload":1}})").as_object(), speed);
    EXPECT_FALSE(speed.measurement_configuration);
}

TEST(MeasurementTypeParameters, MemberFailuresOutsideTheConfigurationRaise) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"deserialize_type":"speed_params","measurement_server":"https://m"})", "not an object"},
        {R"({"deserialize_type":"speed_params","measurement_server":null})", "not an object"},
        {R"({"deserialize_type":"speed_params","measurement_server":{"base_url":1}})", "not a string"},
        {R"({"deserialize_type":"qos_params","objectives":[]})", "not an object"},
        {R"({"deserialize_type":"qos_params","objectives":{"TCP":{"qostest":"TCP"}}})", "array required"},
        {R"({"deserialize_type":"qos_params","objectives":{"TCP":[{"qostest":"TCP"}],
            "UDP":[{"qostest":"UDP","timeout":5}]}})", "not a string"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<MeasurementTypeParameters> p;
        EXPECT_EQ(raised([&] { p = readTypeParameters(c.text); }), model_test::expected(c.error)) << c.text;
        EXPECT_EQ(p, nullptr) << c.text;
    }
}

TEST(MeasurementTypeParameters, QosObjectivesKeepEmptyEntriesInOrder) {
    auto p = readTypeParameters(R"({"deserialize_type":"qos_params","objectives":{
        "TCP":[{"qostest":"NOPE"},{"qostest":"TCP","qos_test_uid":"1","out_port":"80"},"x",{"qostest":"tcp","qos_test_uid":"2"}],
        "DNS":[],
        "UDP":[{"qostest":"UDP","qos_test_uid":"3"}]}})");
    auto* qos = asQos(p);
    ASSERT_TRUE(qos);
    ASSERT_EQ(qos->objectives.size(), 3u);
    const auto& tcp = qos->objectives.at("TCP");
    ASSERT_EQ(tcp.size(), 4u);
    EXPECT_EQ(tcp[0], nullptr);
    ASSERT_TRUE(dynamic_cast<TcpTaskConfiguration*>(tcp[1].get()));
    EXPECT_EQ(tcp[1]->qos_test_uid, "1");
    EXPECT_EQ(static_cast<TcpTaskConfiguration&>(*tcp[1]).out_port, "80");
    EXPECT_EQ(tcp[2], nullptr);
    EXPECT_EQ(tcp[3]->qos_test_uid, "2");
    EXPECT_TRUE(qos->objectives.at("DNS").empty());
    ASSERT_EQ(qos->objectives.at("UDP").size(), 1u);
    EXPECT_TRUE(dynamic_cast<UdpTaskConfiguration*>(qos->objectives.at("UDP")[0].get()));

    // The map key is the document's member name, not the configuration's kind.
    auto mixed = readTypeParameters(R"({"deserialize_type":"qos_params","objectives":{"WEB":[{"qostest":"DNS"}]}})");
    ASSERT_TRUE(asQos(mixed));
    EXPECT_TRUE(dynamic_cast<DnsTaskConfiguration*>(asQos(mixed)->objectives.at("WEB")[0].get()));

    auto empty = readTypeParameters(R"({"deserialize_type":"qos_params"})");
    ASSERT_TRUE(asQos(empty));
    EXPECT_TRUE(asQos(empty)->objectives.empty());
}

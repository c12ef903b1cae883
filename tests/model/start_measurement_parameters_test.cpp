#include "ModelTestSupport.h"

#include "model/JsonMembers.h"
#include "model/StartMeasurementParameters.h"

#include <gtest/gtest.h>

using namespace trevask::measurement_library;
using model_test::parse;
using model_test::raised;

namespace {

StartMeasurementParameters readStartParameters(const std::string& text) {
    StartMeasurementParameters p;
    readStartMeasurementParameters(parse(text).as_object(), p);
    return p;
}

}  // namespace

TEST(StartMeasurementParameters, EmptyObjectGivesTheDefaults) {
    const auto p = readStartParameters("{}");
    EXPECT_EQ(p.controllerUrl, "");
    EXPECT_EQ(p.agentUuid, "");
    EXPECT_TRUE(p.performRttMeasurement);
    EXPECT_TRUE(p.performDownloadMeasurement);
    EXPECT_TRUE(p.performUploadMeasurement);
    EXPECT_FALSE(p.performQos);
    EXPECT_TRUE(p.performSpeed);
    EXPECT_TRUE(p.performQosType.empty());
    EXPECT_FALSE(p.indoorOutdoorMode);
    EXPECT_FALSE(p.latestNetworkId);
    EXPECT_FALSE(p.certifiedMeasurementUuid);
    EXPECT_FALSE(p.anonymousModeEnabled);
    EXPECT_FALSE(p.overrideCollectorUrl);
    EXPECT_FALSE(p.initialGeoLocation);
}

TEST(StartMeasurementParameters, ReadsAFullText) {
    const auto p = readStartParameters(R"({
        "controllerUrl": "https://c.example/api/v1/", "agentUuid": "u-1",
        "performRttMeasurement": false, "performDownloadMeasurement": false,
        "performUploadMeasurement": false, "performQos": true, "performSpeed": false,
        "performQosType": {"TCP": true, "UDP": false},
        "indoorOutdoorMode": "indoor", "latestNetworkId": 3.0,
        "certifiedMeasurementUuid": "cm", "anonymousModeEnabled": true,
        "overrideCollectorUrl": "https://o.example",
        "initialGeoLocation": {"time": "t", "relative_time_ns": 5, "provider": "gps",
                               "accuracy": 12, "altitude": 1.5, "heading": 2, "speed": 3,
                               "latitude": 48.2, "longitude": 16.3, "extra": 1},
        "unknown": [1]
    })");
    EXPECT_EQ(p.controllerUrl, "https://c.example/api/v1/");
    EXPECT_EQ(p.agentUuid, "u-1");
    EXPECT_FALSE(p.performRttMeasurement);
    EXPECT_FALSE(p.performDownloadMeasurement);
    EXPECT_FALSE(p.performUploadMeasurement);
    EXPECT_TRUE(p.performQos);
    EXPECT_FALSE(p.performSpeed);
    EXPECT_EQ(p.performQosType, (std::map<std::string, bool>{{"TCP", true}, {"UDP", false}}));
    EXPECT_EQ(p.indoorOutdoorMode, "indoor");
    EXPECT_EQ(p.latestNetworkId, 3);
    EXPECT_EQ(p.certifiedMeasurementUuid, "cm");
    EXPECT_TRUE(p.anonymousModeEnabled);
    EXPECT_EQ(p.overrideCollectorUrl, "https://o.example");
    GeoLocation g;
    g.time = "t";
    g.relative_time_ns = 5;
    g.provider = "gps";
    g.accuracy = 12.0;
    g.altitude = 1.5;
    g.heading = 2.0;
    g.speed = 3.0;
    g.latitude = 48.2;
    g.longitude = 16.3;
    EXPECT_EQ(p.initialGeoLocation, g);
}

TEST(StartMeasurementParameters, WrongKindsRaiseTheReadersErrors) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"performQos": 1})", "bool required"},
        {R"({"performQos": null})", "bool required"},
        {R"({"performSpeed": "true"})", "bool required"},
        {R"({"anonymousModeEnabled": 0})", "bool required"},
        {R"({"performQosType": ["TCP"]})", "not an object"},
        {R"({"performQosType": null})", "not an object"},
        {R"({"performQosType": {"TCP": 1}})", "bool required"},
        {R"({"controllerUrl": null})", "not a string"},
        {R"({"controllerUrl": 5})", "not a string"},
        {R"({"agentUuid": {}})", "not a string"},
        // The optional members never raise.
        {R"({"indoorOutdoorMode": 1, "latestNetworkId": "3", "certifiedMeasurementUuid": [],
             "overrideCollectorUrl": false, "initialGeoLocation": "here"})", ""},
    };
    for (const auto& c : cases) {
        StartMeasurementParameters p;
        EXPECT_EQ(raised([&] { readStartMeasurementParameters(parse(c.text).as_object(), p); }),
                  model_test::expected(c.error))
            << c.text;
    }
}

TEST(StartMeasurementParameters, OptionalNumbersFollowTheExactConversion) {
    struct Case {
        const char* member;
        std::optional<std::int32_t> networkId;
    } ids[] = {
        {"3.0", 3}, {"3.5", std::nullopt}, {R"("3")", std::nullopt}, {"4294967296", std::nullopt},
        {"-2147483648", -2147483648}, {"2147483647", 2147483647}, {"2147483648", std::nullopt},
        {"null", std::nullopt}, {"true", std::nullopt},
    };
    for (const auto& c : ids) {
        const auto p = readStartParameters(std::string(R"({"latestNetworkId":)") + c.member + "}");
        EXPECT_EQ(p.latestNetworkId, c.networkId) << c.member;
    }

    struct GeoCase {
        const char* geo;
        std::optional<std::uint64_t> relative;
        std::optional<double> accuracy;
    } geos[] = {
        {R"({"relative_time_ns": -1})", std::nullopt, std::nullopt},
        {R"({"relative_time_ns": 1e19})", 10000000000000000000ull, std::nullopt},
        {R"({"relative_time_ns": 1.8446744073709552e19})", std::nullopt, std::nullopt},
        {R"({"relative_time_ns": 18446744073709551615})", 18446744073709551615ull, std::nullopt},
        {R"({"accuracy": 12})", std::nullopt, 12.0},
        {R"({"accuracy": "12"})", std::nullopt, std::nullopt},
        {R"({"accuracy": 18446744073709551615})", std::nullopt, 18446744073709551615.0},
    };
    for (const auto& c : geos) {
        const auto p = readStartParameters(std::string(R"({"initialGeoLocation":)") + c.geo + "}");
        ASSERT_TRUE(p.initialGeoLocation) << c.geo;
        EXPECT_EQ(p.initialGeoLocation->relative_time_ns, c.relative) << c.geo;
        EXPECT_EQ(p.initialGeoLocation->accuracy, c.accuracy) << c.geo;
    }
}

TEST(StartMeasurementParameters, GeoLocationNeedsAnObject) {
    EXPECT_EQ(readStartParameters(R"({"initialGeoLocation": {}})").initialGeoLocation, GeoLocation{});
    EXPECT_FALSE(readStartParameters(R"({"initialGeoLocation": "here"})").initialGeoLocation);
    EXPECT_FALSE(readStartParameters(R"({"initialGeoLocation": null})").initialGeoLocation);
    EXPECT_EQ(raised([] { readGeoLocation(parse("[]")); }), model_test::expected("not an object"));

    // Like every optional reader, a failed read drops a value held before.
    std::optional<GeoLocation> target = GeoLocation{};
    readOptionalGeoLocation(parse(R"({"g": 1})").as_object(), "g", target);
    EXPECT_FALSE(target);
}

TEST(StartMeasurementParameters, OptionalTextResetsWhereRequiredTextKeepsItsValue) {
    const auto obj = parse(R"({"other": 1})");
    std::optional<std::string> optional = "held";
    std::string required = "held";
    readOptionalString(obj.as_object(), "k", optional);
    readString(obj.as_object(), "k", required);
    EXPECT_FALSE(optional);
    EXPECT_EQ(required, "held");
}

#include "DocumentTestSupport.h"
#include "model/AgentApiResponses.h"
#include "model/JsonMembers.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <functional>

namespace json = boost::json;
using namespace trevask::measurement_library;
using documents_test::failureText;

namespace {

json::object parseObject(const char* text) { return parseJson(text).as_object(); }

}  // namespace

TEST(MeasurementResultResponseReader, ReadsTheDataMember) {
    struct Case {
        const char* answer;
        std::string uuid;
        std::string openDataUuid;
        std::optional<std::string> certified;
    };
    const Case cases[] = {
        {R"({})", "", "", std::nullopt},
        {R"({"data":{"uuid":"U","open_data_uuid":"O"}})", "U", "O", std::nullopt},
        {R"({"data":{"uuid":"U","open_data_uuid":"O","certified_measurement_uuid":"C","extra":1}})", "U", "O", "C"},
        {R"({"data":{"uuid":"U","certified_measurement_uuid":null}})", "U", "", std::nullopt},
        {R"({"data":{"uuid":"U","certified_measurement_uuid":7}})", "U", "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        MeasurementResultResponse record;
        MeasurementResultResponseReader(parseObject(c.answer), "data", record);
        EXPECT_EQ(record.uuid, c.uuid);
        EXPECT_EQ(record.open_data_uuid, c.openDataUuid);
        EXPECT_EQ(record.certified_measurement_uuid, c.certified);
    }
}

TEST(MeasurementResultResponseReader, FailuresLeaveTheTargetUnchanged) {
    struct Case {
        const char* answer;
        const char* error;
    };
    const Case cases[] = {
        {R"({"data":null})", "not an object"},
        {R"({"data":[]})", "not an object"},
        {R"({"data":{"uuid":5,"open_data_uuid":"O"}})", "not a string"},
        {R"({"data":{"uuid":"new","open_data_uuid":null}})", "not a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        MeasurementResultResponse record;
        record.uuid = "old";
        record.certified_measurement_uuid = "kept";
        EXPECT_EQ(failureText([&] { MeasurementResultResponseReader(parseObject(c.answer), "data", record); }),
                  c.error);
        EXPECT_EQ(record.uuid, "old");
        EXPECT_EQ(record.certified_measurement_uuid, "kept");
    }
}

TEST(RegistrationResponseReader, ReadsAgentUuidAndServiceAddresses) {
    RegistrationResponse record;
    RegistrationResponseReader(
        parseObject(R"({"data":{"agent_uuid":"A1","settings":{"urls":{"collector_service":"https://c/api",
                      "map_service":17,"website":null}}}})"),
        "data", record);
    EXPECT_EQ(record.agent_uuid, "A1");
    ServiceUrls expected;
    expected.collector_service = "https://c/api";
    EXPECT_EQ(record.settings.urls, expected);
}

TEST(RegistrationResponseReader, MissingSettingsOrUrlsClearEveryAddress) {
    const char* answers[] = {
        R"({"data":{"agent_uuid":"A2"}})",
        R"({"data":{"agent_uuid":"A2","settings":{}}})",
        R"({"data":{"agent_uuid":"A2","settings":{"other":1}}})",
    };
    for (const char* answer : answers) {
        SCOPED_TRACE(answer);
        RegistrationResponse record;
        record.settings.urls.controller_service = "stale";
        RegistrationResponseReader(parseObject(answer), "data", record);
        EXPECT_EQ(record.agent_uuid, "A2");
        EXPECT_EQ(record.settings.urls, ServiceUrls{});
    }
}

TEST(RegistrationResponseReader, AllNineAddressesAreRead) {
    RegistrationResponse record;
    RegistrationResponseReader(parseObject(R"({"data":{"settings":{"urls":{
        "controller_service":"1","controller_service_ipv4":"2","controller_service_ipv6":"3",
        "collector_service":"4","map_service":"5","statistic_service":"6","result_service":"7",
        "load_balancing_service":"8","website":"9"}}}})"),
                               "data", record);
    const auto& u = record.settings.urls;
    EXPECT_EQ(u.controller_service, "1");
    EXPECT_EQ(u.controller_service_ipv4, "2");
    EXPECT_EQ(u.controller_service_ipv6, "3");
    EXPECT_EQ(u.collector_service, "4");
    EXPECT_EQ(u.map_service, "5");
    EXPECT_EQ(u.statistic_service, "6");
    EXPECT_EQ(u.result_service, "7");
    EXPECT_EQ(u.load_balancing_service, "8");
    EXPECT_EQ(u.website, "9");
    EXPECT_EQ(record.agent_uuid, "");
}

TEST(RegistrationResponseReader, FailuresLeaveTheTargetUnchanged) {
    struct Case {
        const char* answer;
        const char* error;
    };
    const Case cases[] = {
        {R"({"data":null})", "not an object"},
        {R"({"data":{"agent_uuid":1}})", "not a string"},
        {R"({"data":{"agent_uuid":"N","settings":"x"}})", "not an object"},
        {R"({"data":{"agent_uuid":"N","settings":{"urls":[]}}})", "not an object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        RegistrationResponse record;
        record.agent_uuid = "old";
        record.settings.urls.website = "w";
        EXPECT_EQ(failureText([&] { RegistrationResponseReader(parseObject(c.answer), "data", record); }), c.error);
        EXPECT_EQ(record.agent_uuid, "old");
        EXPECT_EQ(record.settings.urls.website, "w");
    }
}

TEST(RegistrationResponseReader, AbsentDataLeavesTheRecordAlone) {
    RegistrationResponse record;
    record.agent_uuid = "kept";
    RegistrationResponseReader(parseObject(R"({"errors":["x"]})"), "data", record);
    EXPECT_EQ(record.agent_uuid, "kept");
}

TEST(ServiceUrlsReader, RequiresAnObject) {
    EXPECT_EQ(failureText([] { ServiceUrlsReader(json::value("x")); }), "not an object");
    EXPECT_EQ(ServiceUrlsReader(json::object{}), ServiceUrls{});
}

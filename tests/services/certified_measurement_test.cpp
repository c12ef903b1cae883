// The certified-measurement calls that carry the UI's JSON: how the form and
// the initiation values are read, what the envelope holds, and the refusal
// of values that are not one JSON object.

#include "ServiceTestSupport.h"

#include "service/CertifiedMeasurementService.h"

#include <gtest/gtest.h>

namespace json = boost::json;
using namespace services_test;
using trevask::measurement_sdk::CertifiedMeasurementService;

namespace {

const char* kFormType =
    "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementFormSubmitDto";
const char* kInitiationType =
    "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementInitiationDto";

class CertifiedMeasurementTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start();
        answerEverything(server, ScriptedReply::json(200, R"({"data":"ok"})"));
    }

    json::value sentBody() {
        auto seen = server.lastRequest();
        EXPECT_TRUE(seen);
        return seen ? json::parse(seen->body) : json::value();
    }

    HttpTestServer server;
    CertifiedMeasurementService service;
};

}  // namespace

TEST_F(CertifiedMeasurementTest, FormValuesBecomeTheDataMember) {
    struct Case {
        const char* name;
        std::string agent;
        std::string form;
        std::string expectedData;  // compact, members in writer order
    };
    const std::string type = std::string(R"("deserialize_type":")") + kFormType + "\"";
    const Case cases[] = {
        {"empty form, agent given", "a1", "{}", "{" + type + R"(,"agent_uuid":"a1"})"},
        {"empty form, no agent", "", "{}", "{" + type + "}"},
        {"form agent replaced", "a1", R"({"agent_uuid":"other"})", "{" + type + R"(,"agent_uuid":"a1"})"},
        {"form agent kept without agent", "", R"({"agent_uuid":"other"})", "{" + type + R"(,"agent_uuid":"other"})"},
        {"own type text", "", R"({"deserialize_type":"x.Y"})", R"({"deserialize_type":"x.Y"})"},
        {"wrong kinds are dropped", "", R"({"contract_dl_mbps":"100","provider_id":7,"name":null,"city":"Wien"})",
         "{" + type + R"(,"city":"Wien"})"},
        {"every member, in writer order", "a1",
         R"({"comment":"c","contract_ul_mbps":20,"contract_dl_mbps":100.5,"internet_access_type":"FTTH",
             "provider_id":"p","city":"Graz","address":"Street 1","contact_telephone_number":"+43",
             "email":"e@x","name":"N","unknown":1,})",
         "{" + type +
             R"(,"agent_uuid":"a1","name":"N","email":"e@x","contact_telephone_number":"+43","address":"Street 1",)"
             R"("city":"Graz","provider_id":"p","internet_access_type":"FTTH","contract_dl_mbps":1.005E2,)"
             R"("contract_ul_mbps":2E1,"comment":"c"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(service.createCertifiedMeasurement(server.baseUrl(), c.agent, c.form, std::nullopt),
                  R"({"data":"ok"})");
        auto body = sentBody();
        EXPECT_EQ(keysOf(body), (std::vector<std::string>{"data", "request_info"}));
        EXPECT_EQ(json::serialize(body.at("data")), c.expectedData);
        EXPECT_EQ(text(body.at("request_info").at("agent_uuid")), c.agent);
        EXPECT_EQ(body.at("request_info").at("language"), "en_US");
        EXPECT_EQ(server.lastRequest()->query, "");
    }
}

TEST_F(CertifiedMeasurementTest, LanguageGoesIntoQueryAndClientDescription) {
    for (const std::string lang : {"de", ""}) {
        SCOPED_TRACE(lang);
        ASSERT_TRUE(service.createCertifiedMeasurement(server.baseUrl(), "a1", "{}", lang));
        EXPECT_EQ(server.lastRequest()->query, "lang=" + lang);
        EXPECT_EQ(text(sentBody().at("request_info").at("language")), lang);
        ASSERT_TRUE(service.canPerformCertifiedMeasurement(server.baseUrl(), "a1", "{}", lang));
        EXPECT_EQ(server.lastRequest()->query, "lang=" + lang);
        EXPECT_EQ(text(sentBody().at("request_info").at("language")), lang);
    }
}

TEST_F(CertifiedMeasurementTest, InitiationValuesBecomeTheDataMember) {
    const std::string type = std::string(R"("deserialize_type":")") + kInitiationType + "\"";
    const std::pair<std::string, std::string> cases[] = {
        {"{}", "{" + type + "}"},
        {R"({"app_version_code":7,"network_type":98,"ram_usage":0.5,"cpu_usage":0.25})",
         "{" + type + R"(,"cpu_usage":2.5E-1,"ram_usage":5E-1,"network_type":98,"app_version_code":7})"},
        {R"({"cpu_usage":"high","network_type":"LAN","ram_usage":null})", "{" + type + "}"},
    };
    for (const auto& [values, expected] : cases) {
        SCOPED_TRACE(values);
        ASSERT_TRUE(service.canPerformCertifiedMeasurement(server.baseUrl(), "a1", values, std::nullopt));
        auto body = sentBody();
        EXPECT_EQ(json::serialize(body.at("data")), expected);
        EXPECT_EQ(body.at("request_info").at("agent_uuid"), "a1");
        EXPECT_EQ(server.lastRequest()->path, "/measurement-agents/a1/certified-measurement/measurements");
    }
}

TEST_F(CertifiedMeasurementTest, ValuesThatAreNotOneObjectAreRefusedWithoutRequest) {
    const char* bad[] = {
        "[]",
        "42",
        "",
        "{",
        R"({"deserialize_type":5})",
        // An attempt to smuggle a client description beside "data".
        R"({"name":"n"}, "request_info": {"agent_uuid":"forged"})",
    };
    for (const char* values : bad) {
        SCOPED_TRACE(values);
        EXPECT_ANY_THROW(service.createCertifiedMeasurement(server.baseUrl(), "a1", values, std::nullopt));
        EXPECT_ANY_THROW(service.canPerformCertifiedMeasurement(server.baseUrl(), "a1", values, std::nullopt));
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(CertifiedMeasurementTest, CompletionSendsAnEmptyTypeAndTheComplaintFlagOnlyWhenTrue) {
    ASSERT_TRUE(service.completeCertifiedMeasurement(server.baseUrl(), "a1", false, std::nullopt));
    auto seen = server.lastRequest();
    EXPECT_EQ(seen->method, "PUT");
    EXPECT_EQ(seen->query, "");
    auto body = sentBody();
    EXPECT_EQ(json::serialize(body.at("data")), R"({"deserialize_type":""})");
    EXPECT_EQ(body.at("request_info").at("agent_uuid"), "a1");

    ASSERT_TRUE(service.completeCertifiedMeasurement(server.baseUrl(), "a1", true, std::nullopt));
    EXPECT_EQ(server.lastRequest()->query, "send_complaint_to_provider=true");
}

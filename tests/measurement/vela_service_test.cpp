// The agent registration of the measurement channel and the settings of a
// measurement start.

#include "BackendServer.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/VelaService.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

namespace json = boost::json;
using namespace trevask::measurement_library;
using lumivex::test::BackendServer;
using trevask::measurement_sdk::VelaService;

TEST(VelaService, RegisterAgentPostsTheEnvelopeAndReturnsAnyAnswerBody) {
    BackendServer backend;
    backend.start();
    VelaService service;

    auto body = service.registerAgent(backend.baseUrl(), std::nullopt, 3, true, std::nullopt, "de");
    ASSERT_TRUE(body);
    EXPECT_NE(body->find("agent_uuid"), std::string::npos);
    auto seen = backend.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/measurement-agents");
    EXPECT_EQ(seen[0].query, "lang=de");
    const json::object envelope = json::parse(seen[0].body).as_object();
    EXPECT_EQ(envelope.begin()->key(), "data");
    EXPECT_EQ(envelope.at("data").at("terms_and_conditions_accepted"), true);
    EXPECT_EQ(envelope.at("data").at("terms_and_conditions_accepted_version"), 3);
    EXPECT_EQ(envelope.at("request_info").at("agent_uuid"), "");
    EXPECT_EQ(envelope.at("request_info").at("language"), "de");
    EXPECT_EQ(envelope.at("request_info").at("agent_type"), "DESKTOP");

    // Without a language: no query and the default language; a refusal's
    // body is handed back as it is.
    backend.clearRequests();
    backend.setRegistrationBody(R"({"error":"conflict"})");
    backend.misbehave(BackendServer::Endpoint::Registration, BackendServer::Misbehaviour::ServerError);
    body = service.registerAgent(backend.baseUrl(), std::string("known"), 1, false, "group", std::nullopt);
    EXPECT_EQ(body, R"({"error":"conflict"})");
    seen = backend.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].query, "");
    const json::object second = json::parse(seen[0].body).as_object();
    EXPECT_EQ(second.at("request_info").at("language"), "en_US");
    EXPECT_EQ(second.at("request_info").at("agent_uuid"), "known");
    EXPECT_EQ(second.at("data").at("terms_and_conditions_accepted"), false);

    const std::string gone = backend.baseUrl();
    backend.stop();
    EXPECT_FALSE(service.registerAgent(gone, std::nullopt, 1, true, std::nullopt, std::nullopt));
}

TEST(VelaService, ExecutorSettingsOfAMeasurementStart) {
    StartMeasurementParameters params;
    params.agentUuid = "a-1";
    params.controllerUrl = "http://controller";
    auto settings = VelaService::buildExecutorSettings(params);
    EXPECT_EQ(settings->agentUuid, "a-1");
    EXPECT_EQ(settings->controllerUrl, "http://controller");
    EXPECT_TRUE(settings->logResult);
    EXPECT_FALSE(settings->useBoardIdAuth);
    EXPECT_FALSE(settings->verifyAgentUuid);
    EXPECT_TRUE(settings->agentUuidFile.empty() && settings->lmapControlFile.empty());
    EXPECT_TRUE(settings->collectorUrl.empty() && settings->overrideCollectorUrl.empty());
    ASSERT_TRUE(settings->startParameters);
    EXPECT_EQ(settings->startParameters->agentUuid, "a-1");

    params.overrideCollectorUrl = "http://override/report";
    settings = VelaService::buildExecutorSettings(params);
    EXPECT_EQ(settings->overrideCollectorUrl, "http://override/report");
    EXPECT_TRUE(settings->collectorUrl.empty());
}

// Agent identity: verification with the controller, new UUIDs, storing them
// in the settings and files, and the executor's use of it.

#include "MeasurementTestSupport.h"

#include "helper/FileHelper.h"
#include "helper/UuidVerificationHelper.h"
#include "model/AgentApiResponses.h"
#include "model/StartMeasurementParameters.h"
#include "service/HttpConnectionService.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/VelaService.h"

#include <Poco/Net/HTTPBasicCredentials.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace trevask::measurement_library;
using lumivex::test::BackendServer;
using Endpoint = BackendServer::Endpoint;

namespace {

class AgentIdentity : public testing::Test {
protected:
    void SetUp() override {
        backend.start();
        HttpConnectionService::getInstance().configure(backend.controllerUrl(), "", nullptr);
        UuidVerificationHelper::getInstance().clearVerified();
        dir = fs::temp_directory_path() / ("lumivex_identity_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string file(const char* name) const { return (dir / name).string(); }

    BackendServer backend;
    fs::path dir;
    UuidVerificationHelper& helper = UuidVerificationHelper::getInstance();
};

}  // namespace

TEST_F(AgentIdentity, VerificationAsksTheControllerOnceAndComparesExactly) {
    backend.setAgentUuid("abc-123");
    EXPECT_TRUE(helper.verifyAgentUuid("abc-123"));
    EXPECT_TRUE(helper.verifyAgentUuid("abc-123"));
    ASSERT_EQ(backend.count(Endpoint::Registration), 1u);
    const auto body = json::parse(backend.requests(Endpoint::Registration)[0].body);
    EXPECT_EQ(body.at("request_info").at("agent_uuid"), "abc-123");

    backend.setAgentUuid("ABC-456");
    EXPECT_FALSE(helper.verifyAgentUuid("abc-456"));
    EXPECT_EQ(helper.requestNewAgentUuid(), "ABC-456");
    const auto fresh = json::parse(backend.requests(Endpoint::Registration).back().body);
    EXPECT_EQ(fresh.at("request_info").at("agent_uuid"), "");  // present and empty

    backend.stop();
    EXPECT_FALSE(helper.verifyAgentUuid("abc-789"));
    EXPECT_EQ(helper.requestNewAgentUuid(), "");
}

TEST_F(AgentIdentity, StoringWritesSettingsAndFiles) {
    MeasurementExecutorSettings settings;
    EXPECT_FALSE(helper.storeAgentUuid("", settings, ""));
    EXPECT_EQ(settings.agentUuid, "");
    EXPECT_FALSE(helper.storeAgentUuid("only-settings", settings, ""));
    EXPECT_EQ(settings.agentUuid, "only-settings");

    settings.agentUuidFile = file("uuid");
    settings.lmapControlFile = file("control.json");
    ASSERT_TRUE(FileHelper::writeToFile(settings.lmapControlFile,
                                        R"({"agent":{"agent_id":"old-1"},"x":{"agent_id": "old-2"}} agentUuid: old-3)"));
    EXPECT_TRUE(helper.storeAgentUuid("new-9", settings, file("target")));
    EXPECT_EQ(FileHelper::readFile(settings.agentUuidFile), "new-9");
    EXPECT_EQ(FileHelper::readFile(settings.lmapControlFile),
              R"({"agent":{"agent_id": "new-9"},"x":{"agent_id": "new-9"}} agentUuid: old-3)");
    EXPECT_EQ(FileHelper::readFile(file("target")),
              R"({"agent":{"agent_id":"old-1"},"x":{"agent_id": "old-2"}} agentUuid: new-9)");

    // A UUID with regular-expression replacement characters is written as it is.
    EXPECT_TRUE(helper.storeAgentUuid("a$&b", settings, ""));
    EXPECT_EQ(FileHelper::readFile(settings.agentUuidFile), "a$&b");

    // A control file without the key is written back unchanged.
    ASSERT_TRUE(FileHelper::writeToFile(settings.lmapControlFile, "{}"));
    EXPECT_TRUE(helper.storeAgentUuid("new-10", settings, ""));
    EXPECT_EQ(FileHelper::readFile(settings.lmapControlFile), "{}");
}

TEST_F(AgentIdentity, ExecutorReplacesAnUnknownAgentBeforeFetchingTasks) {
    measurement_test::DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "x"}};
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(measurement_test::controlDocument(docShape));
    backend.setAgentUuid("fresh-uuid");

    StartMeasurementParameters params;
    params.controllerUrl = backend.controllerUrl();
    params.agentUuid = "stale-uuid";
    auto settings = trevask::measurement_sdk::VelaService::buildExecutorSettings(params);
    settings->verifyAgentUuid = true;
    settings->agentUuidFile = file("agent_uuid");
    auto answer = MeasurementExecutorService::getInstance().executeFullMeasurement(settings.get(), true, true, true);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(settings->agentUuid, "fresh-uuid");
    EXPECT_EQ(FileHelper::readFile(file("agent_uuid")), "fresh-uuid");
    EXPECT_EQ(backend.count(Endpoint::Registration), 2u);  // the check and the request for a new UUID
    const auto control = json::parse(backend.requests(Endpoint::Control).at(0).body);
    EXPECT_EQ(control.at("agent").at("agent-id"), "fresh-uuid");
    const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
    EXPECT_EQ(report.at("agent-id"), "fresh-uuid");
}

TEST_F(AgentIdentity, ExecutorReadsTheAgentUuidAndControlDocumentFromFiles) {
    ASSERT_TRUE(FileHelper::writeToFile(file("agent_uuid"), "file-uuid"));
    measurement_test::DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "from-file"}};
    std::string document = measurement_test::controlDocument(docShape);
    ASSERT_TRUE(FileHelper::writeToFile(file("control.json"), document));

    MeasurementExecutorSettings settings;
    settings.agentUuidFile = file("agent_uuid");
    settings.lmapControlFile = file("control.json");
    settings.collectorUrl = backend.collectorUrl();
    settings.controllerUrl = backend.controllerUrl();
    auto answer = MeasurementExecutorService::getInstance().executeFullMeasurement(&settings, true, true, false);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(settings.agentUuid, "file-uuid");
    // Without the controller: no registration and no control request.
    EXPECT_EQ(backend.count(Endpoint::Registration), 0u);
    EXPECT_EQ(backend.count(Endpoint::Control), 0u);
    const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
    EXPECT_EQ(report.at("agent-id"), "file-uuid");
    EXPECT_EQ(report.at("result").at(0).at("results").at(0).at("result").at("output"), "from-file\n");
}

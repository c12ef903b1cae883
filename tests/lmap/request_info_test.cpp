// The client description: its JSON form, its reader, the builder of the
// UI-facing services, and the registration request's envelope.

#include "helper/ProbeHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "model/RegistrationRequest.h"
#include "model/RequestInfo.h"
#include "service/RequestInfoBuilder.h"
#include "service/UiConfiguration.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace json = boost::json;
using namespace trevask::measurement_library;

namespace {

RequestInfo fullRequestInfo() {
    RequestInfo info;
    info.agent_type = "DESKTOP";
    info.agent_uuid = "6f1c-uuid";
    info.language = "en_US";
    info.timezone = "Europe/Vienna";
    info.os_name = "Debian GNU/Linux 12 (bookworm)";
    info.os_version = "12";
    info.os_platform = "Linux";
    info.api_level = "v1";
    info.model = "ThinkPad";
    info.code_name = "ThinkPad x86_64 LENOVO";
    info.app_version_name = "1.2.3";
    info.app_version_code = 45;
    info.app_git_revision = "abc123";
    info.boardid = "board-1";
    info.hostname = "host";
    info.image_build_timestamp = "2026-01-01";
    info.certified_measurement_uuid = "cert-1";
    info.anonymous_mode = true;
    return info;
}

std::string written(const RequestInfo& info) { return json::serialize(RequestInfoWriter(info)); }

}  // namespace

TEST(RequestInfoWriter, WritesPresentMembersInWireOrderAndAlwaysAnonymousMode) {
    struct Case {
        const char* name;
        std::function<RequestInfo()> make;
        const char* text;
    };
    const Case cases[] = {
        {"default", [] { return RequestInfo(); }, R"({"anonymous_mode":false})"},
        {"full", fullRequestInfo,
         R"({"agent_uuid":"6f1c-uuid","language":"en_US","timezone":"Europe/Vienna",)"
         R"j("os_name":"Debian GNU/Linux 12 (bookworm)","os_version":"12","os_platform":"Linux","api_level":"v1",)j"
         R"("code_name":"ThinkPad x86_64 LENOVO","model":"ThinkPad","app_version_name":"1.2.3",)"
         R"("app_version_code":45,"app_git_revision":"abc123","boardid":"board-1","hostname":"host",)"
         R"("image_build_timestamp":"2026-01-01","agent_type":"DESKTOP","certified_measurement_uuid":"cert-1",)"
         R"("anonymous_mode":true})"},
        {"agent type comes late, empty texts are present",
         [] {
             RequestInfo info;
             info.agent_type = "DESKTOP";
             info.agent_uuid = "";
             info.app_version_code = -7;
             return info;
         },
         R"({"agent_uuid":"","app_version_code":-7,"agent_type":"DESKTOP","anonymous_mode":false})"},
    };
    for (const auto& c : cases) EXPECT_EQ(written(c.make()), c.text) << c.name;
}

TEST(RequestInfoReader, ReplacesTheWholeTargetWithWhatWasRead) {
    struct Case {
        const char* name;
        std::string text;
        std::function<void(const RequestInfo&)> check;
    };
    const Case cases[] = {
        {"absent key leaves the target", R"({})",
         [](const RequestInfo& r) { EXPECT_EQ(r, fullRequestInfo()); }},
        {"members the object lacks become absent", R"({"ri":{"agent_uuid":"u","anonymous_mode":true}})",
         [](const RequestInfo& r) {
             RequestInfo expected;
             expected.agent_uuid = "u";
             expected.anonymous_mode = true;
             EXPECT_EQ(r, expected);
         }},
        {"wrong kinds of optional members are absorbed",
         R"({"ri":{"app_version_code":"12","language":5,"timezone":null,"os_name":"Linux"}})",
         [](const RequestInfo& r) {
             RequestInfo expected;
             expected.os_name = "Linux";
             EXPECT_EQ(r, expected);
         }},
        {"every member", R"({"ri":)" + written(fullRequestInfo()) + "}",
         [](const RequestInfo& r) { EXPECT_EQ(r, fullRequestInfo()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestInfo target = fullRequestInfo();
        RequestInfoReader(json::parse(c.text).as_object(), "ri", target);
        c.check(target);
    }
}

TEST(RequestInfoReader, RejectsAWrongMemberAndKeepsTheTarget) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"ri":null})", "not an object"},
        {R"({"ri":[1]})", "not an object"},
        {R"({"ri":{"agent_uuid":"u","anonymous_mode":1}})", "bool required"},
    };
    for (const auto& c : cases) {
        RequestInfo target = fullRequestInfo();
        try {
            RequestInfoReader(json::parse(c.text).as_object(), "ri", target);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), c.message) << c.text;
        }
        EXPECT_EQ(target, fullRequestInfo()) << c.text;
    }
}

class BuildRequestInfoTest : public ::testing::Test {
protected:
    void SetUp() override { UiConfiguration::reset(); }
    void TearDown() override { UiConfiguration::reset(); }
};

TEST_F(BuildRequestInfoTest, FillsTheClientFactsWithTheirDefaults) {
    RequestInfo info;
    buildRequestInfo(info, "", std::nullopt);

    EXPECT_EQ(info.agent_type, "DESKTOP");
    EXPECT_EQ(info.agent_uuid, "");
    EXPECT_EQ(info.language, "en_US");
    EXPECT_EQ(info.timezone, "UTC");
    EXPECT_EQ(info.os_platform, "Linux");
    EXPECT_EQ(info.api_level, "v1");
    EXPECT_EQ(info.os_name, WindowsSystemHelper::getOsName());
    EXPECT_EQ(info.os_version, WindowsSystemHelper::getOsVersion());
    EXPECT_EQ(info.model, WindowsSystemHelper::getModel());
    EXPECT_EQ(info.code_name, ProbeHelper::getCodeName());
    EXPECT_FALSE(info.hostname);
    EXPECT_FALSE(info.app_version_name);
    EXPECT_FALSE(info.app_version_code);
    EXPECT_FALSE(info.app_git_revision);
    EXPECT_FALSE(info.boardid);
    EXPECT_FALSE(info.anonymous_mode);

    const std::string text = written(info);
    EXPECT_EQ(text.rfind(R"({"agent_uuid":"","language":"en_US","timezone":"UTC",)", 0), 0u) << text;
}

TEST_F(BuildRequestInfoTest, TakesTheUiConfigurationWhereItIsSet) {
    struct Case {
        std::string timezone;
        std::string versionName;
        std::int32_t versionCode;
        std::string revision;
        std::optional<std::string> lang;
        const char* expectedTimezone;
        std::optional<std::string> expectedName;
        std::optional<std::int32_t> expectedCode;
        std::optional<std::string> expectedRevision;
        const char* expectedLanguage;
    };
    const Case cases[] = {
        {"0", "1.2.3", 42, "abc", std::string("de"), "0", "1.2.3", 42, "abc", "de"},
        {"Europe/Vienna", "", 0, "", std::nullopt, "Europe/Vienna", std::nullopt, std::nullopt, std::nullopt, "en_US"},
        {"", "2.0", -3, "", std::nullopt, "UTC", "2.0", std::nullopt, std::nullopt, "en_US"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timezone + "/" + c.versionName);
        UiConfiguration::store(c.timezone, c.versionName, c.versionCode, c.revision);
        RequestInfo info;
        info.hostname = "kept?";
        info.boardid = "kept";
        buildRequestInfo(info, "uuid-1", c.lang);
        EXPECT_EQ(info.agent_uuid, "uuid-1");
        EXPECT_EQ(info.timezone, c.expectedTimezone);
        EXPECT_EQ(info.app_version_name, c.expectedName);
        EXPECT_EQ(info.app_version_code, c.expectedCode);
        EXPECT_EQ(info.app_git_revision, c.expectedRevision);
        EXPECT_EQ(info.language, c.expectedLanguage);
        EXPECT_FALSE(info.hostname);         // always cleared
        EXPECT_EQ(info.boardid, "kept");     // not the builder's member
    }
}

TEST(RegistrationRequest, TravelsInTheEnvelopeByteExact) {
    RegistrationRequest request;
    request.deserialize_type = RegistrationRequest::kType;
    request.termsAndConditionsAccepted = true;
    request.termsAndConditionsAcceptedVersion = 3;
    request.groupName = "group";  // the back end's record has no key for it
    request.requestInfo.agent_type = "DESKTOP";
    request.requestInfo.agent_uuid = "";
    request.requestInfo.language = "de";
    request.requestInfo.timezone = "UTC";
    request.requestInfo.os_platform = "Linux";
    request.requestInfo.api_level = "v1";

    EXPECT_EQ(toRequestBody(request),
              R"({"data":{"deserialize_type":"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.)"
              R"(registration.RegistrationRequest","terms_and_conditions_accepted":true,)"
              R"("terms_and_conditions_accepted_version":3},"request_info":{"agent_uuid":"","language":"de",)"
              R"("timezone":"UTC","os_platform":"Linux","api_level":"v1","agent_type":"DESKTOP",)"
              R"("anonymous_mode":false}})");
    EXPECT_EQ(json::serialize(toRequestBodyValue(request)), toRequestBody(request));

    RegistrationRequest defaults;
    EXPECT_EQ(toRequestBody(defaults),
              R"({"data":{"deserialize_type":"","terms_and_conditions_accepted":false,)"
              R"("terms_and_conditions_accepted_version":0},"request_info":{"anonymous_mode":false}})");
}

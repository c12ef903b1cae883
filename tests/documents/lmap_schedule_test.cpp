#include "DocumentTestSupport.h"
#include "model/JsonMembers.h"
#include "model/LmapSchedule.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <functional>

namespace json = boost::json;
using namespace trevask::measurement_library;
using documents_test::failureText;

namespace {

LmapScheduleDto readSchedule(const char* text) {
    LmapScheduleDto schedule;
    LmapScheduleDtoReader(parseJson(text), schedule);
    return schedule;
}

}  // namespace

TEST(LmapScheduleDtoReader, EmptyObjectGivesTheDefaults) {
    const auto s = readSchedule("{}");
    EXPECT_EQ(s.name, "");
    EXPECT_EQ(s.start, "");
    EXPECT_EQ(s.stop, nullptr);
    EXPECT_EQ(s.executionMode, ExecutionMode::SEQUENTIAL);
    EXPECT_EQ(s.state, LmapStateDto::ENABLED);
    EXPECT_TRUE(s.tag.empty());
    EXPECT_TRUE(s.suppressionTag.empty());
    EXPECT_EQ(s.storage, 0u);
    EXPECT_EQ(s.invocations + s.suppressions + s.overlaps + s.failures, 0u);
    EXPECT_EQ(s.lastInvocation, "");
    EXPECT_TRUE(s.action.empty());
}

TEST(LmapScheduleDtoReader, StopIsAbsorbing) {
    struct Case {
        const char* text;
        bool hasStop;
    };
    const Case cases[] = {
        {R"({"stop":{},"name":"n"})", true},
        {R"({"stop":{"end":"x"},"name":"n"})", true},
        {R"({"stop":"tomorrow","name":"n"})", false},
        {R"({"stop":null,"name":"n"})", false},
        {R"({"stop":[1],"name":"n"})", false},
        {R"({"name":"n"})", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto s = readSchedule(c.text);
        EXPECT_EQ(s.stop != nullptr, c.hasStop);
        EXPECT_EQ(s.name, "n");
    }
}

TEST(LmapScheduleDtoReader, MembersOfTheWrongKindEndTheRead) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {R"({"executionMode":"parallel"})",
         "Invalid enumerator name 'parallel' for enum type 'enum trevask::measurement_library::ExecutionMode'"},
        {R"({"state":"PAUSED"})",
         "Invalid enumerator name 'PAUSED' for enum type 'enum trevask::measurement_library::LmapStateDto'"},
        {R"({"executionMode":1})", "not a string"},
        {R"({"name":null})", "not a string"},
        {R"({"tag":{"a":1}})", "array required"},
        {R"({"suppressionTag":["a",2]})", "not a string"},
        {R"({"action":["a"]})", "not an object"},
        {R"({"action":{}})", "array required"},
        {R"({"action":[{"option":[5]}]})", "not an object"},
        {R"({"action":[{"state":"enabled"}]})",
         "Invalid enumerator name 'enabled' for enum type 'enum trevask::measurement_library::LmapStateDto'"},
        {"[]", "not an object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(failureText([&] { readSchedule(c.text); }), c.error);
    }
}

TEST(LmapScheduleDtoReader, NumbersMustFitExactly) {
    struct Case {
        const char* text;
        bool fails;
        std::uint32_t invocations;
    };
    const Case cases[] = {
        {R"({"invocations":5})", false, 5},
        {R"({"invocations":5.0})", false, 5},
        {R"({"invocations":4294967295})", false, 4294967295u},
        {R"({"invocations":-1})", true, 0},
        {R"({"invocations":4294967296})", true, 0},
        {R"({"invocations":5.5})", true, 0},
        {R"({"invocations":"5"})", true, 0},
        {R"({"invocations":null})", true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.fails) {
            EXPECT_THROW(readSchedule(c.text), std::exception);
        } else {
            EXPECT_EQ(readSchedule(c.text).invocations, c.invocations);
        }
    }
    EXPECT_EQ(readSchedule(R"({"storage":18446744073709551615})").storage, 18446744073709551615ull);
    EXPECT_THROW(readSchedule(R"({"storage":-1})"), std::exception);
}

TEST(LmapActionDtoReader, ReadsEveryMember) {
    LmapActionDto a;
    LmapActionDtoReader(parseJson(R"({"name":"act","task":"speed",
        "option":[{"name":"o1","value":"v1","measurement_parameters":{"x":1}},{"name":"o2","value":"v2"}],
        "destination":["d"],"tag":["t1","t2"],"suppressionTag":["s"],"state":"SUPPRESSED","storage":9,
        "invocations":1,"suppressions":2,"overlaps":3,"failures":4,"lastInvocation":"li","lastCompletion":"lc",
        "lastStatus":-2,"lastMessage":"lm","lastFailedStatus":-7,"lastFailedMessage":"lf","unknown":true})"),
                        a);
    EXPECT_EQ(a.name, "act");
    EXPECT_EQ(a.task, "speed");
    ASSERT_EQ(a.option.size(), 2u);
    EXPECT_EQ(a.option[0].name, "o1");
    EXPECT_EQ(a.option[1].value, "v2");
    EXPECT_EQ(a.destination, std::vector<std::string>{"d"});
    EXPECT_EQ(a.tag, (std::vector<std::string>{"t1", "t2"}));
    EXPECT_EQ(a.suppressionTag, std::vector<std::string>{"s"});
    EXPECT_EQ(a.state, LmapStateDto::SUPPRESSED);
    EXPECT_EQ(a.storage, 9u);
    EXPECT_EQ(a.invocations, 1u);
    EXPECT_EQ(a.suppressions, 2u);
    EXPECT_EQ(a.overlaps, 3u);
    EXPECT_EQ(a.failures, 4u);
    EXPECT_EQ(a.lastInvocation, "li");
    EXPECT_EQ(a.lastCompletion, "lc");
    EXPECT_EQ(a.lastStatus, -2);
    EXPECT_EQ(a.lastMessage, "lm");
    EXPECT_EQ(a.lastFailedStatus, -7);
    EXPECT_EQ(a.lastFailedMessage, "lf");
    EXPECT_THROW(LmapActionDtoReader(parseJson(R"({"lastStatus":2147483648})"), a), std::exception);
}

TEST(LmapScheduleDtoWriter, WritesEveryKeyInOrder) {
    const auto s = readSchedule(R"({"name":"s1","start":"now","stop":{},"executionMode":"PIPELINED",
        "tag":["a"],"suppressionTag":[],"state":"RUNNING","storage":1,"invocations":2,"suppressions":3,
        "overlaps":4,"failures":5,"lastInvocation":"then",
        "action":[{"name":"a1","task":"t","option":[{"name":"n","value":"v","measurement_parameters":{"k":1}}],
                   "lastStatus":-2}]})");
    EXPECT_EQ(json::serialize(LmapScheduleDtoWriter(s)),
              R"({"name":"s1","start":"now","stop":{},"executionMode":"PIPELINED","tag":["a"],"suppressionTag":[],)"
              R"("state":"RUNNING","storage":1,"invocations":2,"suppressions":3,"overlaps":4,"failures":5,)"
              R"("lastInvocation":"then","action":[{"name":"a1","task":"t",)"
              R"("option":[{"name":"n","value":"v","measurement_parameters":null}],"destination":[],"tag":[],)"
              R"("suppressionTag":[],"state":"ENABLED","storage":0,"invocations":0,"suppressions":0,"overlaps":0,)"
              R"("failures":0,"lastInvocation":"","lastCompletion":"","lastStatus":-2,"lastMessage":"",)"
              R"("lastFailedStatus":0,"lastFailedMessage":""}]})");
}

TEST(LmapScheduleDtoWriter, WrittenScheduleReadsBackEqual) {
    LmapScheduleDto s;
    s.name = "round";
    s.executionMode = ExecutionMode::PARALLEL;
    s.state = LmapStateDto::DISABLED;
    s.storage = 1ull << 40;
    s.failures = 4294967295u;
    s.action.emplace_back();
    s.action.back().lastFailedStatus = -5;
    s.action.back().destination = {"x", "y"};
    const auto back = readSchedule(json::serialize(LmapScheduleDtoWriter(s)).c_str());
    EXPECT_EQ(json::serialize(LmapScheduleDtoWriter(back)), json::serialize(LmapScheduleDtoWriter(s)));
    EXPECT_EQ(back.stop, nullptr);
}

TEST(LmapEnumerationWriters, ValuesOutsideTheEnumerationAreUnnamed) {
    struct Case {
        int value;
        const char* mode;
        const char* state;
    };
    const Case cases[] = {
        {0, "SEQUENTIAL", "ENABLED"},   {1, "PARALLEL", "DISABLED"}, {2, "PIPELINED", "RUNNING"},
        {3, "(unnamed)", "SUPPRESSED"}, {4, "(unnamed)", "(unnamed)"}, {-1, "(unnamed)", "(unnamed)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_STREQ(ExecutionModeWriter(static_cast<ExecutionMode>(c.value)), c.mode);
        EXPECT_STREQ(LmapStateDtoWriter(static_cast<LmapStateDto>(c.value)), c.state);
    }
    LmapScheduleDto s;
    s.state = static_cast<LmapStateDto>(9);
    EXPECT_EQ(LmapScheduleDtoWriter(s).at("state"), "(unnamed)");
    EXPECT_TRUE(LmapScheduleDtoWriter(s).at("stop").is_null());
}

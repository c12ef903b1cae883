#include "model/JsonMorpher.h"

#include <gtest/gtest.h>

#include <string>

using trevask::measurement_library::JsonMorpher;

namespace {

// The pairs the LMAP control document declares (group_id twice, kept once).
JsonMorpher controlPairs() {
    return JsonMorpher{{"agent_id", "agent-id"},
                       {"group_id", "group-id"},
                       {"measurement_parameters", "measurement-parameters"},
                       {"group_id", "group-id"},
                       {"additional_request_info", "additional-request-info"},
                       {"additional_response_info", "additional-response-info"},
                       {"isDefault", "default"},
                       {"eventType", "event-type"},
                       {"random_spread", "random-spread"},
                       {"executionMode", "execution-mode"},
                       {"suppressionTag", "suppression-tag"},
                       {"lastInvocation", "last-invocation"}};
}

// The pairs the LMAP report declares.
JsonMorpher reportPairs() {
    return JsonMorpher{{"agent_id", "agent-id"}, {"group_id", "group-id"}, {"measurement_point", "measurement-point"}};
}

std::string morphed(const JsonMorpher& morpher, std::string text) {
    JsonMorpher::morph(morpher.getKeyMap(), text);
    return text;
}

}  // namespace

TEST(JsonMorpher, TranslatesInTheDirectionOfTheFirstHit) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {R"({"name":"x"})", R"({"name":"x"})"},
        // Received text: wire names become member names.
        {R"({"agent-id":"a","random-spread":5})", R"({"agent_id":"a","random_spread":5})"},
        // A member name fixes the direction to wire names; the wire name stays.
        {R"({"agent_id":"a","random-spread":5})", R"({"agent-id":"a","random-spread":5})"},
        // Every occurrence, also inside values; "Default" is not matched.
        {R"({"default":true,"mode":"default","x":"Default"})", R"({"isDefault":true,"mode":"isDefault","x":"Default"})"},
        // An earlier pair's hit decides first: "additional_request_info" turns the text to wire names.
        {R"({"additional_request_info":{},"isDefault":true,"event-type":"x"})",
         R"({"additional-request-info":{},"default":true,"event-type":"x"})"},
        {R"({"isDefault":false})", R"({"default":false})"},
        {R"({"group-id":"g","group-id2":"h"})", R"({"group_id":"g","group_id2":"h"})"},
        {R"({"executionMode":"SEQUENTIAL","lastInvocation":"t","suppressionTag":"s"})",
         R"({"execution-mode":"SEQUENTIAL","last-invocation":"t","suppression-tag":"s"})"},
    };
    const auto control = controlPairs();
    for (const auto& c : cases) EXPECT_EQ(morphed(control, c.in), c.out) << c.in;
}

TEST(JsonMorpher, ReplacesInsideLongerWords) {
    const auto report = reportPairs();
    EXPECT_EQ(morphed(report, R"({"agent_id":"a","note":"xgroup_idx","measurement_point":"p"})"),
              R"({"agent-id":"a","note":"xgroup-idx","measurement-point":"p"})");
    EXPECT_EQ(morphed(report, R"({"agent-id":"a","group-id":"xgroup-idx"})"),
              R"({"agent_id":"a","group_id":"xgroup_idx"})");
}

TEST(JsonMorpher, KeyPairsKeepTheFirstWireNameAndAreCopied) {
    JsonMorpher morpher{{"a_b", "a-b"}, {"a_b", "other"}};
    EXPECT_EQ(morpher.getKeyMap(), (JsonMorpher::KeyMap{{"a_b", "a-b"}}));
    EXPECT_EQ(controlPairs().getKeyMap().size(), 11u);

    morpher.keyMap.emplace("a_b", "changed");  // present name: unchanged
    morpher.keyMap.emplace("c_d", "c-d");
    auto copy = morpher.getKeyMap();
    copy.clear();
    EXPECT_EQ(morpher.getKeyMap(), (JsonMorpher::KeyMap{{"a_b", "a-b"}, {"c_d", "c-d"}}));
}

TEST(JsonMorpher, PairsThatRecreateTheirNameDoNotLoop) {
    // Pairs that break the invariants (a wire name holding the member name, an
    // empty name) end after one pass instead of searching forever.
    std::string text = "ab ab";
    JsonMorpher::morph({{"ab", "xab"}}, text);
    EXPECT_EQ(text, "xab xab");

    text = "plain";
    JsonMorpher::morph({{"", "x"}}, text);
    EXPECT_EQ(text, "plain");
    JsonMorpher::morph({{"x", ""}}, text);
    EXPECT_EQ(text, "plain");
    text = "xx";
    JsonMorpher::morph({{"x", ""}}, text);
    EXPECT_EQ(text, "");
}

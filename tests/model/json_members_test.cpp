#include "ModelTestSupport.h"

#include "model/JsonMembers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>

using namespace trevask::measurement_library;
using model_test::parse;
using model_test::raised;
namespace json = boost::json;

namespace {

// Reads {"k": <member>} with readNumber into T; the value as text, or "!" and
// the error's message.
template <typename T>
std::string readAs(const std::string& member) {
    const auto value = parse(R"({"k":)" + member + "}");
    T target{};
    try {
        readNumber(value.as_object(), "k", target);
    } catch (const boost::system::system_error& e) {
        return "!" + e.code().message();
    }
    std::ostringstream os;
    if constexpr (sizeof(T) == 1) os << +target; else os << target;
    return os.str();
}

struct NumberCase {
    const char* target;
    const char* member;
    const char* expected;
};

std::string readNumberCase(const NumberCase& c) {
    const std::string t = c.target;
    if (t == "uint16") return readAs<std::uint16_t>(c.member);
    if (t == "int32") return readAs<std::int32_t>(c.member);
    if (t == "uint32") return readAs<std::uint32_t>(c.member);
    if (t == "int64") return readAs<std::int64_t>(c.member);
    if (t == "uint64") return readAs<std::uint64_t>(c.member);
    if (t == "float") return readAs<float>(c.member);
    if (t == "double") return readAs<double>(c.member);
    return "unknown target";
}

}  // namespace

TEST(JsonMembers, NumbersConvertOnlyWhenExact) {
    const NumberCase cases[] = {
        {"uint32", "42", "42"},
        {"uint32", "4294967295", "4294967295"},
        {"uint32", "4294967296", "!not exact"},
        {"uint32", "42.0", "42"},
        {"uint32", "42.5", "!not exact"},
        {"uint32", R"("42")", "!not a number"},
        {"uint32", "null", "!not a number"},
        {"uint32", "true", "!not a number"},
        {"uint32", "[42]", "!not a number"},
        {"uint32", "{}", "!not a number"},
        {"uint32", "-1", "!not exact"},
        {"uint16", "-1", "!not exact"},
        {"uint16", "65535", "65535"},
        {"uint16", "65536", "!not exact"},
        {"uint16", "8.0", "8"},
        {"int32", "-2147483648", "-2147483648"},
        {"int32", "2147483648", "!not exact"},
        {"int32", "-2147483649", "!not exact"},
        {"int32", "-3.0", "-3"},
        {"int32", "70000", "70000"},
        {"uint64", "18446744073709551615", "18446744073709551615"},
        {"uint64", "1e19", "10000000000000000000"},
        {"uint64", "18446744073709549568.0", "18446744073709549568"},
        {"uint64", "1.8446744073709552e19", "!not exact"},  // 2^64
        {"uint64", "-1", "!not exact"},
        {"uint64", "-0.5", "!not exact"},
        {"int64", "9.223372036854775807e18", "!not exact"},  // rounds to 2^63
        {"int64", "-9.223372036854775808e18", "-9223372036854775808"},
        {"int64", "9223372036854775807", "9223372036854775807"},
        {"int64", "9223372036854775808", "!not exact"},
        {"float", "0.5", "0.5"},
        {"float", "42", "42"},
        {"float", "3.4e38", "3.4e+38"},
        {"float", "1e300", "!not exact"},
        {"float", "-1e300", "!not exact"},
        {"float", R"("1")", "!not a number"},
        {"double", "18446744073709551615", "1.84467e+19"},
        {"double", "-1", "-1"},
        {"double", "1e300", "1e+300"},
        {"double", "false", "!not a number"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readNumberCase(c), c.expected) << c.target << " <- " << c.member;
    }
}

TEST(JsonMembers, NumberErrorsAreStandardExceptions) {
    const auto value = parse(R"({"k":"42"})");
    std::uint32_t target = 7;
    try {
        readNumber(value.as_object(), "k", target);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("not a number"), std::string::npos) << e.what();
    }
    EXPECT_EQ(target, 7u);
}

TEST(JsonMembers, AbsentKeysLeaveRequiredMembersUnchanged) {
    const auto value = parse(R"({"other":1})");
    const auto& obj = value.as_object();
    std::string text = "kept";
    bool flag = true;
    std::uint32_t number = 9;
    double real = 1.5;
    readString(obj, "k", text);
    readBool(obj, "k", flag);
    readNumber(obj, "k", number);
    readNumber(obj, "k", real);
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(flag);
    EXPECT_EQ(number, 9u);
    EXPECT_EQ(real, 1.5);
}

TEST(JsonMembers, TextAndBoolMembersRequireTheirKind) {
    struct Case {
        const char* member;
        const char* text;      // expected after readString ("" when it raises)
        const char* textError;
        int flag;              // 1/0 after readBool, -1 when it raises
    } cases[] = {
        {R"("x")", "x", "", -1},
        {"null", "", "not a string", -1},
        {"5", "", "not a string", -1},
        {"[]", "", "not a string", -1},
        {"true", "", "not a string", 1},
        {"false", "", "not a string", 0},
        {"1", "", "not a string", -1},
        {R"("true")", "true", "", -1},
    };
    for (const auto& c : cases) {
        const auto value = parse(std::string(R"({"k":)") + c.member + "}");
        const auto& obj = value.as_object();
        std::string text = "before";
        auto r = raised([&] { readString(obj, "k", text); });
        EXPECT_EQ(r, model_test::expected(c.textError)) << c.member;
        EXPECT_EQ(text, *c.textError ? "before" : c.text) << c.member;

        bool flag = false;
        r = raised([&] { readBool(obj, "k", flag); });
        if (c.flag < 0) {
            EXPECT_EQ(r, model_test::expected("bool required")) << c.member;
        } else {
            EXPECT_EQ(r, model_test::Raised{}) << c.member;
            EXPECT_EQ(flag, c.flag == 1) << c.member;
        }
    }
}

TEST(JsonMembers, OptionalReadersAbsorbEveryFailureAndResetTheTarget) {
    struct Case {
        const char* object;
        std::optional<std::string> text;
        std::optional<bool> flag;
        std::optional<std::int32_t> integer;
        std::optional<std::uint64_t> unsigned64;
        std::optional<double> real;
    } cases[] = {
        {R"({})", {}, {}, {}, {}, {}},
        {R"({"k":null})", {}, {}, {}, {}, {}},
        {R"({"k":"7"})", "7", {}, {}, {}, {}},
        {R"({"k":true})", {}, true, {}, {}, {}},
        {R"({"k":1})", {}, {}, 1, 1, 1.0},
        {R"({"k":-1})", {}, {}, -1, {}, -1.0},
        {R"({"k":2.5})", {}, {}, {}, {}, 2.5},
        {R"({"k":[1]})", {}, {}, {}, {}, {}},
        {R"({"k":{"a":1}})", {}, {}, {}, {}, {}},
        {R"({"k":4294967296})", {}, {}, {}, 4294967296ull, 4294967296.0},
    };
    for (const auto& c : cases) {
        const auto value = parse(c.object);
        const auto& obj = value.as_object();
        std::optional<std::string> text = "old";
        std::optional<bool> flag = false;
        std::optional<std::int32_t> integer = 99;
        std::optional<std::uint64_t> unsigned64 = 99;
        std::optional<double> real = 99.0;
        EXPECT_NO_THROW(readOptionalString(obj, "k", text));
        EXPECT_NO_THROW(readOptionalBool(obj, "k", flag));
        EXPECT_NO_THROW(readOptionalInt(obj, "k", integer));
        EXPECT_NO_THROW(readOptionalUint64(obj, "k", unsigned64));
        EXPECT_NO_THROW(readOptionalDouble(obj, "k", real));
        EXPECT_EQ(text, c.text) << c.object;
        EXPECT_EQ(flag, c.flag) << c.object;
        EXPECT_EQ(integer, c.integer) << c.object;
        EXPECT_EQ(unsigned64, c.unsigned64) << c.object;
        EXPECT_EQ(real, c.real) << c.object;
    }
}

TEST(JsonMembers, TypeTextIsReadOnlyFromAStringMemberOfAnObject) {
    EXPECT_EQ(readTypeText(parse(R"({"qostest":"tcp"})"), "qostest"), "tcp");
    EXPECT_EQ(readTypeText(parse(R"({"qostest":5})"), "qostest"), std::nullopt);
    EXPECT_EQ(readTypeText(parse(R"({"qostest":null})"), "qostest"), std::nullopt);
    EXPECT_EQ(readTypeText(parse(R"({"QOSTEST":"tcp"})"), "qostest"), std::nullopt);
    EXPECT_EQ(readTypeText(parse(R"(["qostest","tcp"])"), "qostest"), std::nullopt);
    EXPECT_EQ(readTypeText(parse(R"("tcp")"), "qostest"), std::nullopt);
}

TEST(JsonMembers, TypeTextsCompareCaseInsensitivelyWithEqualLength) {
    EXPECT_TRUE(typeTextEquals("tcp", "TCP"));
    EXPECT_TRUE(typeTextEquals("Ookla_SpeedTest_Cli", "OOKLA_SPEEDTEST_CLI"));
    EXPECT_TRUE(typeTextEquals("", ""));
    EXPECT_FALSE(typeTextEquals("TCP", "TCPX"));
    EXPECT_FALSE(typeTextEquals("TCP ", "TCP"));
    EXPECT_FALSE(typeTextEquals("UDP", "TCP"));
}

TEST(JsonMembers, RecordsAndListsRequireTheirKind) {
    EXPECT_EQ(raised([] { requireObject(parse("[]")); }), model_test::expected("not an object"));
    EXPECT_EQ(raised([] { requireObject(parse("null")); }), model_test::expected("not an object"));
    EXPECT_EQ(raised([] { requireArray(parse("{}")); }), model_test::expected("array required"));
    EXPECT_EQ(raised([] { requireArray(parse("null")); }), model_test::expected("array required"));
}

TEST(JsonMembers, ListsReplaceTheTargetOnlyWhenEveryElementReads) {
    auto readElement = [](const json::value& v) {
        if (!v.is_string()) throw std::invalid_argument("not a string");
        return std::string(v.get_string());
    };
    std::vector<std::string> target{"old"};
    readList(parse(R"({})").as_object(), "k", target, readElement);
    EXPECT_EQ(target, std::vector<std::string>{"old"});

    readList(parse(R"({"k":["b","a"]})").as_object(), "k", target, readElement);
    EXPECT_EQ(target, (std::vector<std::string>{"b", "a"}));

    EXPECT_EQ(raised([&] { readList(parse(R"({"k":["c",1]})").as_object(), "k", target, readElement); }),
              model_test::expected("not a string"));
    EXPECT_EQ(raised([&] { readList(parse(R"({"k":{}})").as_object(), "k", target, readElement); }),
              model_test::expected("array required"));
    EXPECT_EQ(target, (std::vector<std::string>{"b", "a"}));
}

TEST(JsonMembers, WritersKeepInsertionOrderAndReplaceInPlace) {
    json::object obj;
    setString(obj, "b", "text");
    setUInt32(obj, "a", 4294967295u);
    setUInt64(obj, "c", 18446744073709551615ull);
    setOptionalUInt32(obj, "d", std::nullopt);
    setOptionalUInt64(obj, "e", std::nullopt);
    setOptionalString(obj, "f", std::nullopt);
    setOptionalUInt32(obj, "g", 5u);
    setString(obj, "b", "replaced");
    EXPECT_EQ(json::serialize(obj), R"({"b":"replaced","a":4294967295,"c":18446744073709551615,"g":5})");
    EXPECT_TRUE(obj.at("a").is_uint64());
    EXPECT_TRUE(obj.at("g").is_uint64());

    // An empty optional leaves an existing member of that key in place.
    setOptionalUInt64(obj, "a", std::nullopt);
    setOptionalString(obj, "b", std::nullopt);
    EXPECT_EQ(obj.at("a").as_uint64(), 4294967295u);
    setOptionalUInt64(obj, "a", 1u);
    setOptionalString(obj, "b", std::string("s"));
    EXPECT_EQ(json::serialize(obj), R"({"b":"s","a":1,"c":18446744073709551615,"g":5})");
}

TEST(JsonMembers, ParseJsonAcceptsCommentsAndTrailingCommas) {
    EXPECT_EQ(json::serialize(parseJson("// line\n{\"a\": [1, 2,], /* block */ \"b\": {},}  ")),
              R"({"a":[1,2],"b":{}})");
    EXPECT_TRUE(parseJson(std::string(32, '[') + std::string(32, ']')).is_array());
}

TEST(JsonMembers, ParseJsonRejectsMalformedTexts) {
    const std::string rejected[] = {
        "",
        "   ",
        "{} {}",
        "{",
        R"({"a":})",
        "[1 2]",
        "\"\xff\"",
        std::string(33, '[') + std::string(33, ']'),
        "nul",
    };
    for (const auto& text : rejected) {
        EXPECT_EQ(raised([&] { parseJson(text); }).kind, "system_error") << text;
    }
}

namespace {
enum class Mode { SEQUENTIAL, PARALLEL, PIPELINED };
const char* const kModeNames[] = {"SEQUENTIAL", "PARALLEL", "PIPELINED"};
constexpr const char* kModeType = "trevask::measurement_library::ExecutionMode";
}  // namespace

TEST(JsonMembers, EnumerationsReadTheirExactText) {
    EXPECT_EQ(readEnumText<Mode>(json::value("PIPELINED"), kModeNames, kModeType), Mode::PIPELINED);
    EXPECT_EQ(readEnumText<Mode>(json::value("SEQUENTIAL"), kModeNames, kModeType), Mode::SEQUENTIAL);

    const auto r = raised([] { readEnumText<Mode>(json::value("sequential"), kModeNames, kModeType); });
    EXPECT_EQ(r.kind, "runtime_error");
    EXPECT_EQ(r.what,
              "Invalid enumerator name 'sequential' for enum type "
              "'enum trevask::measurement_library::ExecutionMode'");
    EXPECT_EQ(raised([] { readEnumText<Mode>(json::value(1), kModeNames, kModeType); }),
              model_test::expected("not a string"));
    EXPECT_EQ(raised([] { readEnumText<Mode>(json::value(nullptr), kModeNames, kModeType); }),
              model_test::expected("not a string"));

    EXPECT_STREQ(enumText(Mode::PARALLEL, kModeNames), "PARALLEL");
    EXPECT_STREQ(enumText(static_cast<Mode>(3), kModeNames), "(unnamed)");
    EXPECT_STREQ(enumText(static_cast<Mode>(-1), kModeNames), "(unnamed)");
}

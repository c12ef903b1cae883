#include "util/ApiDataParser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using trevask::measurement_library::ApiDataParser;

namespace {

struct Case {
    std::string body;
    std::optional<std::string> data;
    std::optional<std::string> errors;
};

}  // namespace

TEST(ApiDataParser, TakesTheMemberAsCompactJson) {
    const Case cases[] = {
        {R"({"data":{}})", "{}", std::nullopt},
        {R"({"data":[]})", "[]", std::nullopt},
        {R"({"data":0})", "0", std::nullopt},
        {R"({"data":false})", "false", std::nullopt},
        {R"({"data":"x"})", "\"x\"", std::nullopt},
        {R"({ "data" : { "b" : 1 , "a" : [ 1 , 2 ] } })", R"({"a":[1,2],"b":1})", std::nullopt},
        {R"({"data":{"name":"Grüße ✓"}})", R"({"name":"Grüße ✓"})", std::nullopt},
        {R"({"data":null,"errors":["bad agent"]})", std::nullopt, R"(["bad agent"])"},
        {R"({"errors":{"code":4,"message":"no"}})", std::nullopt, R"({"code":4,"message":"no"})"},
        {R"({"Data":1,"ERRORS":2})", std::nullopt, std::nullopt},
        {R"({"data":1,"errors":null})", "1", std::nullopt},
        {R"({"data":"line\nbreak \"q\""})", R"("line\nbreak \"q\"")", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(ApiDataParser::getData(c.body), c.data);
        EXPECT_EQ(ApiDataParser::getErrors(c.body), c.errors);
    }
}

TEST(ApiDataParser, MalformedBodiesGiveNoValue) {
    const std::string bodies[] = {
        "",
        "   \n\t",
        "[1,2]",
        R"("data")",
        "null",
        R"({"data":1} // comment)",
        R"({/* c */"data":1})",
        R"({"data":1,})",
        R"({"data":1}{"data":2})",
        R"({"data":1} x)",
        R"({"data":)",
        "<html><body>502 Bad Gateway</body></html>",
        std::string("{\"data\":\"\xff\xfe\"}"),
        std::string("{\"data\":1}\0", 11),
        std::string("{\"data\":1}\0garbage", 18),
    };
    for (const auto& body : bodies) {
        SCOPED_TRACE(body);
        EXPECT_EQ(ApiDataParser::getData(body), std::nullopt);
        EXPECT_EQ(ApiDataParser::getErrors(body), std::nullopt);
    }
}

TEST(ApiDataParser, HostileNestingNeverCrashes) {
    // Deep enough to exhaust the stack of a recursive serializer.
    const std::size_t depth = 100000;
    std::string body = R"({"data":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(ApiDataParser::getData(body), std::nullopt);

    // Ordinary nesting still comes back whole.
    const std::string nested = std::string(100, '[') + std::string(100, ']');
    EXPECT_EQ(ApiDataParser::getData(R"({"data":)" + nested + "}"), nested);
}

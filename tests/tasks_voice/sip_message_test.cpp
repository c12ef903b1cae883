// The SIP dialect: wire text of requests and recognition of responses.

#include <gtest/gtest.h>

#include "tasks/SipMessage.h"

#include <optional>

using namespace trevask::measurement_library;

TEST(SipMessage, RequestWireText) {
    struct Case {
        SipMethod method;
        std::string from, to, via;
        std::string wire;
    };
    const std::vector<Case> cases = {
        // An empty via carries the from text.
        {SipMethod::INVITE, "a", "b", "", "INVITE b SIP/2.0\nFROM: a\nTO: b\nVIA: a\nContent-Length: 0\n\n"},
        {SipMethod::BYE, "alice@x", "bob@y", "proxy", "BYE bob@y SIP/2.0\nFROM: alice@x\nTO: bob@y\nVIA: proxy\nContent-Length: 0\n\n"},
        {SipMethod::ACK, "a", "b", "c", "ACK b SIP/2.0\nFROM: a\nTO: b\nVIA: c\nContent-Length: 0\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        const SipRequestMessage request(c.method, c.from, c.to, c.via);
        EXPECT_EQ(request.serialize(), c.wire);
        EXPECT_EQ(request.getCode(), " ");
    }
    EXPECT_EQ(SipRequestMessage(SipMethod::INVITE, "a", "b", "").serialize().size(), 57u);
    EXPECT_EQ(SipRequestMessage(static_cast<SipMethod>(9), "a", "b", "").getName(), "UNKNOWN");
}

TEST(SipMessage, BodyLengthAndCopies) {
    SipRequestMessage request(SipMethod::INVITE, "a", "b", "c");
    request.setBody("v=0\n");
    EXPECT_EQ(request.serialize(), "INVITE b SIP/2.0\nFROM: a\nTO: b\nVIA: c\nContent-Length:4\n\nv=0\n");
    SipRequestMessage copy = request;
    copy.setHeader("TO", "z");
    EXPECT_EQ(request.toString(), "INVITE b SIP/2.0");
    EXPECT_EQ(copy.toString(), "INVITE z SIP/2.0");
}

TEST(SipMessage, ResponseNamesCodesAndStartLines) {
    struct Case {
        SipStatus status;
        std::string name, code;
    };
    for (const auto& c : std::vector<Case>{{SipStatus::TRYING, "TRYING", "100"},
                                           {SipStatus::RINGING, "RINGING", "180"},
                                           {SipStatus::OK, "OK", "200"},
                                           {SipStatus::UNKNOWN, "UNKNOWN", "0"}}) {
        const SipResponseMessage response(c.status);
        EXPECT_EQ(response.getName(), c.name);
        EXPECT_EQ(response.getCode(), c.code);
        EXPECT_EQ(response.toString(), "SIP/2.0 " + c.code + " " + c.name);
        EXPECT_EQ(response.serialize(), "SIP/2.0 " + c.code + " " + c.name + "\nContent-Length: 0\n\n");
    }
}

TEST(SipMessage, RecognisesResponsesByTheThirdWord) {
    struct Case {
        std::string text;
        std::optional<SipStatus> status;
    };
    const std::vector<Case> cases = {
        {"SIP/2.0 200 OK", SipStatus::OK},
        {"SIP/2.0 180 RINGING\nFROM: a\nTO: b\nContent-Length: 0\n\n", SipStatus::RINGING},
        {"SIP/2.0 200 OK\r\n", SipStatus::UNKNOWN},      // third piece is "OK\r"
        {"SIP/2.0  200 OK", SipStatus::UNKNOWN},         // third piece is "200"
        {"SIP/2.0 200", std::nullopt},
        {"", std::nullopt},
        {"\nSIP/2.0 200 OK", std::nullopt},              // the first line is empty
        {"any words TRYING", SipStatus::TRYING},
        {"SIP/2.0 100 OK", SipStatus::OK},                // the code is not examined
        {"SIP/2.0 200 ok", SipStatus::UNKNOWN},           // case-sensitive
        {"SIP/2.0 200 OK extra words", SipStatus::OK},
        {std::string("SIP/2.0 200 \0OK", 15), SipStatus::UNKNOWN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto response = SipResponseMessage::parse(c.text);
        ASSERT_EQ(response.has_value(), c.status.has_value());
        if (response) {
            EXPECT_EQ(response->getStatus(), *c.status);
            EXPECT_TRUE(response->getHeaders().empty());
            EXPECT_TRUE(response->getBody().empty());
        }
    }
}

// The run's authentication token: known HMAC answers (computed independently
// with Python's hmac/hashlib), the text form, every parse failure text and the
// log identifier.

#include "SprintMessages.h"
#include "Token.h"

#include <gtest/gtest.h>

#include <random>

using namespace vela_client;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                     0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::string kUuidText = "00112233-4455-6677-8899-aabbccddeeff";

std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    char buf[3];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

Token must(TokenResult result)
{
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
    return result ? *result : Token{};
}

std::string error_of(const TokenResult& result)
{
    return result ? std::string("<parsed>") : result.error();
}

TEST(Token, HmacKnownAnswers)
{
    struct Case {
        std::uint64_t seconds;
        std::string key;
        const char* mac;
    };
    const Case cases[] = {
        {1700000000, "", "cfd7b3813a1c64189a5bebc07b0a2a1bd8359c887c7a70028ab510f7f4cd3450"},
        {1700000000, "secret", "66a8c0f9db672dd4f42905d2b9bc3e1fe37de56fe88ec68dd081ad6f18440542"},
        // 136 bytes is one SHA3-256 block; one more and the key is hashed first.
        {1700000000, std::string(136, 'k'), "af99d68160abbd61ae4e801611acb52502873a08f6a0af5178dbfcbeddf41a0f"},
        {1700000000, std::string(137, 'k'), "97cf8c3730bdf242e2f34d6174a76b77a8c9d8cf0d25f51efce1c2f586dd4ee0"},
        {1700000000, std::string(200, 'x'), "5179348773c4b57b2e388d2df384be8cfeadbda28af67b2abb4412068d99b6c2"},
        {1700000000, "schl\xC3\xBCssel", "8d8288912a6f95c7b37daaba9a9d77c356de5d6eea24c9b623c0bfc032afabcf"},
        {0, "", "17120663bcdcc21a41e55f1deb47ca2a8d50bd01ec85c3aace912111374589ee"},
        {UINT64_MAX, "secret", "0a3f00b9051fe0371499fd6d52c24f2fdcb7dda575d2efd6f87a5efa10c2316c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key.size());
        const Token token = must(hmac_sha3_256(kUuid, c.seconds, 123, c.key));
        EXPECT_EQ(hex(token.mac), c.mac);
        EXPECT_EQ(hex(token.uuid), hex(kUuid));
        EXPECT_EQ(token.unix_seconds, c.seconds);
        EXPECT_EQ(token.nanoseconds, 123u);
        EXPECT_FALSE(token.log_identifier);
    }
}

TEST(Token, HmacNeedsSixteenUuidBytes)
{
    for (const std::size_t size : {0u, 15u, 17u}) {
        EXPECT_EQ(error_of(hmac_sha3_256(Bytes(size, 1), 1, 0, "k")), "uuid must be exactly 16 bytes long");
    }
}

TEST(Token, TextFormAndLogIdentifier)
{
    Token token = must(hmac_sha3_256(kUuid, 1700000000, 0, "secret"));
    const std::string text = token_to_string(token);
    EXPECT_EQ(text, kUuidText +
                        "_1700000000_NjZhOGMwZjlkYjY3MmRkNGY0MjkwNWQyYjliYzNlMWZlMzdkZTU2ZmU4OGVjNjhkZDA4MWFkNmYx"
                        "ODQ0MDU0Mg==");
    EXPECT_EQ(text.size(), 136u);

    EXPECT_EQ(log_id(token), "a4dd6b6");
    EXPECT_EQ(token.log_identifier, "a4dd6b6");
    const Token copy = token;
    EXPECT_EQ(copy.log_identifier, "a4dd6b6");
    // Served from the token from now on: changing the token does not rehash.
    token.unix_seconds = 1;
    EXPECT_EQ(log_id(token), "a4dd6b6");
}

TEST(Token, LogIdentifierHashesTheNormalisedText)
{
    struct Case {
        const char* text;
        const char* log_id;
    };
    // "dead" in base64 is ZGVhZA==, "DEAD" is REVBRA==.
    const Case cases[] = {
        {"00112233-4455-6677-8899-aabbccddeeff_42_ZGVhZA==", "42bc59e"},
        {"00112233445566778899AABBCCDDEEFF_+0042_REVBRA==", "42bc59e"},
        {"{00112233-4455-6677-8899-AABBCCDDEEFF}_42_ZGVhZA==_extra_pieces", "42bc59e"},
        {"urn:uuid:00112233-4455-6677-8899-aabbccddeeff_00042_ZGVhZA==", "42bc59e"},
        {"00112233-4455-6677-8899-aabbccddeeff_42_", "5da19be"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Token token = must(parse_token(c.text));
        EXPECT_EQ(log_id(token), c.log_id);
    }
}

TEST(Token, ParseKeepsItsParts)
{
    const Token token = must(parse_token("00112233-4455-6677-8899-AABBCCDDEEFF_+0042_REVBRA==_ignored"));
    EXPECT_EQ(hex(token.uuid), hex(kUuid));
    EXPECT_EQ(token.unix_seconds, 42u);
    EXPECT_EQ(token.nanoseconds, 0u);
    EXPECT_EQ(token.mac, (Bytes{0xDE, 0xAD}));
    EXPECT_FALSE(token.log_identifier);
    EXPECT_EQ(token_to_string(token), kUuidText + "_42_ZGVhZA==");

    EXPECT_EQ(must(parse_token(kUuidText + "_18446744073709551615_")).unix_seconds, UINT64_MAX);
    EXPECT_TRUE(must(parse_token(kUuidText + "_1_")).mac.empty());
}

TEST(Token, ParseFailureTexts)
{
    const std::string u = kUuidText;
    struct Case {
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"", "token contains invalid UUID"},
        {"_1_", "token contains invalid UUID"},
        {"not-a-uuid_1_", "token contains invalid UUID"},
        {"00112233-4455-6677-8899-aabbccddeefg_1_", "token contains invalid UUID"},
        {"001122334-455-6677-8899-aabbccddeeff_1_", "token contains invalid UUID"},
        {"0011223344556677-8899-aabbccddeeff_1_", "token contains invalid UUID"},
        {"{00112233445566778899aabbccddeeff}_1_", "token contains invalid UUID"},
        {"(00112233-4455-6677-8899-aabbccddeeff)_1_", "token contains invalid UUID"},
        {"URN:UUID:00112233-4455-6677-8899-aabbccddeeff_1_", "token contains invalid UUID"},
        {"00112233445566778899aabbccddeef_1_", "token contains invalid UUID"},
        {u, "invalid token: missing timestamp"},
        {u + "_1", "invalid token: missing HMAC"},
        {u + "__", "token contains invalid timestamp"},
        {u + "_-1_", "token contains invalid timestamp"},
        {u + "_1.5_", "token contains invalid timestamp"},
        {u + "_ 1_", "token contains invalid timestamp"},
        {u + "_+_", "token contains invalid timestamp"},
        {u + "_++1_", "token contains invalid timestamp"},
        {u + "_18446744073709551616_", "token contains invalid timestamp"},
        {u + "_99999999999999999999_", "token contains invalid timestamp"},
        {u + "_1_ZGVh-A==", "token contains invalid base64 HMAC"},
        {u + "_1_ZGVhZA", "token contains invalid base64 HMAC"},
        {u + "_1_ZGVhZA=", "token contains invalid base64 HMAC"},
        {u + "_1_ZGVhZB==", "token contains invalid base64 HMAC"},   // stray bits
        {u + "_1_ZGVhZGE=", "Odd number of digits"},                 // "deada" has odd length
        {u + "_1_ZGVhZGF=", "token contains invalid base64 HMAC"},   // stray bits
        {u + "_1_ZG=hZA==", "token contains invalid base64 HMAC"},
        {u + "_1_====", "token contains invalid base64 HMAC"},
        {u + "_1_Z===", "token contains invalid base64 HMAC"},
        {u + "_1_YWJj", "Odd number of digits"},                     // "abc"
        {u + "_1_YWJjZw==", "Invalid character 'g' at position 3"},  // "abcg"
        {u + "_1_ZWdn", "Odd number of digits"},                     // "egg": length first
        {u + "_1_ZWc=", "Invalid character 'g' at position 1"},      // "eg"
        {u + "_1_eno=", "Invalid character 'z' at position 0"},      // "zz"
        {u + "_1_MCAxMg==", "Invalid character ' ' at position 1"},  // "0 12"
        {u + "_1_AQI=", "Invalid character '\\u{1}' at position 0"},
        {u + "_1_AQID", "Odd number of digits"},
        {u + "_1_MDEBAg==", "Invalid character '\\u{1}' at position 2"},  // "01\x01\x02"
        {u + "_1_MDHpMA==", "Invalid character '\xC3\xA9' at position 2"},  // "01\xE9" "0"
        {u + "_1_MCcwMA==", "Invalid character '\\'' at position 1"},        // "0'00"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(error_of(parse_token(c.text)), c.error);
    }
}

TEST(Token, BuiltTokens)
{
    const auto now = std::chrono::system_clock::now();
    Token token = must(build_token("secret"));
    EXPECT_EQ(token.uuid[6] >> 4, 4);            // version 4
    EXPECT_EQ(token.uuid[8] & 0xC0, 0x80);       // variant 10
    EXPECT_EQ(token.mac.size(), 32u);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    EXPECT_LE(std::llabs(static_cast<long long>(token.unix_seconds) - seconds), 5);
    EXPECT_LT(token.nanoseconds, 1000000000u);
    EXPECT_EQ(token.mac, must(hmac_sha3_256(token.uuid, token.unix_seconds, 0, "secret")).mac);

    const std::string text = token_to_string(token);
    const std::string mac_piece = text.substr(text.rfind('_') + 1);
    EXPECT_EQ(mac_piece.size(), 88u);
    EXPECT_TRUE(mac_piece.ends_with("=="));

    Token parsed = must(parse_token(text));
    EXPECT_EQ(parsed.uuid, token.uuid);
    EXPECT_EQ(parsed.unix_seconds, token.unix_seconds);
    EXPECT_EQ(parsed.mac, token.mac);
    EXPECT_EQ(log_id(parsed), log_id(token));

    // Without a key the MAC is made under the empty key; every token gets a fresh UUID.
    const Token unkeyed = must(build_token(""));
    EXPECT_EQ(unkeyed.mac, must(hmac_sha3_256(unkeyed.uuid, unkeyed.unix_seconds, 0, "")).mac);
    EXPECT_NE(unkeyed.uuid, token.uuid);
}

TEST(Token, BuildAtAGivenInstant)
{
    using namespace std::chrono;
    const auto epoch = system_clock::time_point{};
    EXPECT_EQ(error_of(build_token_at("k", epoch - nanoseconds(1))), "system error: failed to get current timestamp");
    EXPECT_EQ(error_of(build_token_at("k", epoch - hours(24 * 365))), "system error: failed to get current timestamp");

    const Token at_epoch = must(build_token_at("k", epoch));
    EXPECT_EQ(at_epoch.unix_seconds, 0u);
    const Token later = must(build_token_at("k", epoch + seconds(1700000000) + nanoseconds(250)));
    EXPECT_EQ(later.unix_seconds, 1700000000u);
    EXPECT_EQ(later.nanoseconds, 250u);
}

TEST(Token, InitRequestSizes)
{
    using namespace std::chrono;
    const auto epoch = system_clock::time_point{};
    // Seconds that need a five-byte varint give a 67-byte envelope (the far
    // end of that range lies beyond what the system clock can represent).
    const auto init_request = [](const Token& token) {
        return sprintproto::Msg(sprintproto::MeasurementInitRequest{
            "0.1.0", token.unix_seconds, Bytes(token.uuid.begin(), token.uuid.end()), token.mac});
    };
    EXPECT_EQ(init_request(must(build_token_at("secret", epoch + seconds(1700000000)))).encode().size(), 67u);
    for (const std::uint64_t s : {std::uint64_t{1} << 28, (std::uint64_t{1} << 35) - 1}) {
        EXPECT_EQ(init_request(must(hmac_sha3_256(kUuid, s, 0, "secret"))).encode().size(), 67u) << s;
    }
    EXPECT_EQ(init_request(must(hmac_sha3_256(kUuid, std::uint64_t{1} << 35, 0, "secret"))).encode().size(), 68u);
    // A supplied token with an empty MAC sends no hmac field.
    const Token bare = must(parse_token(kUuidText + "_1700000000_"));
    EXPECT_EQ(init_request(bare).encode().size(), 67u - 34u);
}

bool is_parse_error(const std::string& e)
{
    static const char* texts[] = {"invalid token: missing UUID",      "token contains invalid UUID",
                                  "invalid token: missing timestamp", "token contains invalid timestamp",
                                  "invalid token: missing HMAC",      "token contains invalid base64 HMAC",
                                  "Odd number of digits"};
    for (const char* t : texts) {
        if (e == t) return true;
    }
    return e.starts_with("Invalid character '") && e.find("' at position ") != std::string::npos;
}

TEST(Token, HostileTextsGiveErrorTextsOrRoundTrip)
{
    std::mt19937_64 rng(77);
    const std::string alphabet = "0123456789abcdefABCDEF-_+/={}:urnidgZGVhYWJjMDE \x01\xFF";
    const std::string valid = kUuidText + "_42_ZGVhZA==";
    for (int i = 0; i < 50000; ++i) {
        std::string text;
        switch (i % 3) {
        case 0: {  // random characters of the token's own alphabet
            text.resize(rng() % 80);
            for (auto& c : text) c = alphabet[rng() % alphabet.size()];
            break;
        }
        case 1: {  // a valid token with a few characters changed, cut or dropped
            text = valid;
            for (int k = 0; k < 2; ++k) {
                const std::size_t at = rng() % text.size();
                if (rng() % 2) text[at] = alphabet[rng() % alphabet.size()];
                else text.erase(at, 1);
            }
            text.resize(rng() % (text.size() + 1));
            break;
        }
        default:  // raw bytes
            text.resize(rng() % 200);
            for (auto& c : text) c = static_cast<char>(rng());
        }
        const auto result = parse_token(text);
        if (result) {
            Token token = *result;
            ASSERT_EQ(must(parse_token(token_to_string(token))), token) << text;
            ASSERT_EQ(log_id(token).size(), 7u);
        } else {
            ASSERT_TRUE(is_parse_error(result.error())) << result.error();
        }
    }
    // An oversized text is refused without trouble.
    EXPECT_EQ(error_of(parse_token(std::string(1 << 20, 'a'))), "token contains invalid UUID");
    EXPECT_EQ(error_of(parse_token(kUuidText + "_1_" + std::string(1 << 20, 'A'))), "Invalid character '\\0' at position 0");
    EXPECT_EQ(error_of(parse_token(kUuidText + "_1_" + std::string((1 << 20) + 1, 'A'))), "token contains invalid base64 HMAC");
}

} // namespace

// Exact encodings and decoding rules of the speed-test control messages.

#include "SprintMessages.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using namespace vela_client::sprintproto;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text)
{
    Bytes out;
    std::string digits;
    for (const char c : text) {
        if (c != ' ') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string to_hex(const Bytes& bytes)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

void append_varint(Bytes& out, std::uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

Msg decode_ok(const Bytes& bytes)
{
    auto result = Msg::decode(bytes);
    EXPECT_TRUE(result.has_value()) << to_hex(bytes) << ": " << (result ? "" : result.error().to_string());
    return result ? *result : Msg{};
}

struct Golden {
    const char* name;
    Msg msg;
    const char* bytes;
};

Msg with_id(std::uint32_t id, Msg m)
{
    m.message_id = id;
    return m;
}

TEST(SprintCodec, GoldenEncodingsAndRoundTrip)
{
    const Golden cases[] = {
        {"empty envelope", Msg{}, ""},
        {"pretest count 1", DownlinkPretestRequest{1}, "2A 02 08 01"},
        {"pretest count 0", DownlinkPretestRequest{0}, "2A 00"},
        {"quit", QuitRequest{}, "72 00"},
        {"server load request", ServerLoadRequest{}, "7A 00"},
        {"udp id 0", RttUdpRequest{0}, "62 00"},
        {"udp id 1", RttUdpRequest{1}, "62 02 08 01"},
        {"udp id 300", RttUdpRequest{300}, "62 03 08 AC 02"},
        {"traceroute 0", ServerTracerouteRequest{0}, "8A 01 00"},
        {"load response absent", ServerLoadResponse{}, "82 01 00"},
        {"load response empty vmstat", ServerLoadResponse{std::string(), std::nullopt}, "82 01 02 0A 00"},
        {"load response both", ServerLoadResponse{std::string("a"), std::string("")}, "82 01 05 0A 01 61 12 00"},
        {"init response empty connection info",
         MeasurementInitResponse{0, 0, ConnectionInfo{}}, "22 02 1A 00"},
        {"init response full",
         MeasurementInitResponse{4096, 1500, ConnectionInfo{"1.2", 80, "3", 6142}},
         "22 15 08 80 20 10 DC 0B 1A 0D 1A 03 31 2E 32 20 50 2A 01 33 30 FE 2F"},
        {"message id only", with_id(5, Msg{}), "08 05"},
        {"message id and submsg", with_id(300, QuitRequest{}), "08 AC 02 72 00"},
        {"negative status takes ten bytes", GenericResponse{-1, ""},
         "12 0B 08 FF FF FF FF FF FF FF FF FF 01"},
        {"generic response", GenericResponse{2, "no"}, "12 06 08 02 12 02 6E 6F"},
        {"progress notification", UplinkTestProgressNotification{1, 2, true}, "4A 06 08 01 10 02 18 01"},
        {"progress notification zero", UplinkTestProgressNotification{}, "4A 00"},
        {"downlink test", DownlinkTestRequest{7}, "32 02 08 07"},
        {"uplink pretest", UplinkPretestRequest{2}, "3A 02 08 02"},
        {"uplink test", UplinkTestRequest{100}, "42 02 08 64"},
        {"rtt tcp", RttTcpRequest{0xFFFFFFFF}, "52 06 08 FF FF FF FF 0F"},
        {"udp response", RttUdpResponse{9}, "6A 02 08 09"},
        {"traceroute max", ServerTracerouteRequest{UINT64_MAX},
         "8A 01 0B 08 FF FF FF FF FF FF FF FF FF 01"},
        {"traceroute response", ServerTracerouteResponse{"hi"}, "92 01 04 0A 02 68 69"},
        {"init request", MeasurementInitRequest{"0.1.0", 1, {1, 2}, {}},
         "1A 0D 0A 05 30 2E 31 2E 30 10 01 1A 02 01 02"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes expected = hex(c.bytes);
        EXPECT_EQ(to_hex(c.msg.encode()), to_hex(expected));
        EXPECT_EQ(c.msg.encoded_len(), expected.size());
        EXPECT_EQ(decode_ok(expected), c.msg);
    }
}

TEST(SprintCodec, EncodeAppendsAfterExistingBytes)
{
    Bytes out = {0x00, 0x04};  // e.g. a length prefix already written
    Msg(RttUdpRequest{1}).encode(out);
    EXPECT_EQ(to_hex(out), "00 04 62 02 08 01");
}

TEST(SprintCodec, LongTextsGetMultiByteLengths)
{
    ServerTracerouteResponse response{std::string(70000, 'a')};
    const Bytes bytes = Msg(response).encode();
    // key (2) + length varint of 70003 (3) + field key (1) + varint of 70000 (3) + text
    EXPECT_EQ(bytes.size(), 2u + 3u + 1u + 3u + 70000u);
    EXPECT_EQ(decode_ok(bytes), Msg(response));
}

TEST(SprintCodec, DecodeRules)
{
    struct Case {
        const char* name;
        const char* bytes;
        Msg expected;
    };
    Msg merged_init = MeasurementInitResponse{0, 0, ConnectionInfo{"", 7, "", 9}};
    const Case cases[] = {
        {"zero bytes", "", Msg{}},
        {"message id 5", "08 05", with_id(5, Msg{})},
        {"field 11 skipped", "58 01 72 00", QuitRequest{}},
        {"field 11 length-delimited skipped", "5A 02 08 01", Msg{}},
        {"field 19 skipped", "98 01 07 72 00", QuitRequest{}},
        {"largest field number skipped", "F8 FF FF FF 0F 01", Msg{}},
        {"fixed fields skipped", "9D 01 01 02 03 04 99 01 01 02 03 04 05 06 07 08", Msg{}},
        {"group skipped with known numbers inside", "9B 01 08 05 0B 0C 9C 01", Msg{}},
        {"unknown field inside submessage", "12 04 18 01 08 01", GenericResponse{1, ""}},
        {"connection info numbers 1 and 2 skipped", "22 06 1A 04 08 01 12 00",
         MeasurementInitResponse{0, 0, ConnectionInfo{}}},
        {"quit request content skipped", "72 02 08 01", QuitRequest{}},
        {"other kind replaces", "12 02 08 01 22 02 08 05", MeasurementInitResponse{5, 0, std::nullopt}},
        {"same kind merges", "12 05 08 02 12 01 61 12 02 08 03", GenericResponse{3, "a"}},
        {"later description wins", "12 03 12 01 61 12 03 12 01 62", GenericResponse{0, "b"}},
        {"connection info merges", "22 04 1A 02 20 07 22 04 1A 02 30 09", merged_init},
        {"status 7 kept", "12 02 08 07", GenericResponse{7, ""}},
        {"uint32 keeps low 32 bits", "62 06 08 85 80 80 80 10", RttUdpRequest{5}},
        {"message id keeps low 32 bits", "08 85 80 80 80 10", with_id(5, Msg{})},
        {"ten-byte varint with 64th bit", "08 FF FF FF FF FF FF FF FF FF 01", with_id(0xFFFFFFFF, Msg{})},
        {"bool true for any non-zero", "4A 02 18 02", UplinkTestProgressNotification{0, 0, true}},
        {"last scalar wins", "4A 04 08 01 08 02", UplinkTestProgressNotification{2, 0, false}},
        {"overlong zero varint", "08 80 80 00", Msg{}},
        {"status as int32 from 64-bit varint", "12 0B 08 FE FF FF FF FF FF FF FF FF 01", GenericResponse{-2, ""}},
        {"utf-8 text accepted", "92 01 06 0A 04 F0 9F 98 80", ServerTracerouteResponse{"\xF0\x9F\x98\x80"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode_ok(hex(c.bytes)), c.expected);
    }
    EXPECT_FALSE(decode_ok(hex("12 02 08 07")).get<GenericResponse>()->is_ok());
}

using Path = std::vector<std::pair<std::string_view, std::string_view>>;

TEST(SprintCodec, DecodeFailureTexts)
{
    const Path submsg = {{"Msg", "submsg"}};
    struct Case {
        const char* name;
        Bytes bytes;
        std::string reason;
        Path path;
    };
    Bytes big_key;
    append_varint(big_key, (std::uint64_t{1} << 32) | 8);
    Bytes bad_utf8_in_info = hex("22 05 1A 03 1A 01 FF");

    const std::vector<Case> cases = {
        {"truncated varint", hex("08 80"), "invalid varint", {{"Msg", "message_id"}}},
        {"truncated key", hex("80"), "invalid varint", {}},
        {"varint above 64 bits", hex("08 FF FF FF FF FF FF FF FF FF 02"), "invalid varint", {{"Msg", "message_id"}}},
        {"varint of eleven bytes", hex("08 FF FF FF FF FF FF FF FF FF 80 01"), "invalid varint",
         {{"Msg", "message_id"}}},
        {"key above 32 bits", big_key, "invalid key value: 4294967304", {}},
        {"wire type 6", hex("0E"), "invalid wire type value: 6", {}},
        {"wire type 7", hex("5F"), "invalid wire type value: 7", {}},
        {"field number 0", hex("00"), "invalid tag value: 0", {}},
        {"field number 0 length-delimited", hex("02 00"), "invalid tag value: 0", {}},
        {"message id length-delimited", hex("0A 01 05"), "invalid wire type: LengthDelimited (expected Varint)",
         {{"Msg", "message_id"}}},
        {"message id as group", hex("0B 0C"), "invalid wire type: StartGroup (expected Varint)",
         {{"Msg", "message_id"}}},
        {"message id as end group", hex("0C"), "invalid wire type: EndGroup (expected Varint)",
         {{"Msg", "message_id"}}},
        {"submessage as varint", hex("10 01"), "invalid wire type: Varint (expected LengthDelimited)", submsg},
        {"submessage as fixed64", hex("11 00 00 00 00 00 00 00 00"),
         "invalid wire type: SixtyFourBit (expected LengthDelimited)", submsg},
        {"status as fixed32", hex("12 05 0D 01 00 00 00"), "invalid wire type: ThirtyTwoBit (expected Varint)",
         {{"GenericResponse", "status_code"}, {"Msg", "submsg"}}},
        {"description as varint", hex("12 02 10 01"), "invalid wire type: Varint (expected LengthDelimited)",
         {{"GenericResponse", "description"}, {"Msg", "submsg"}}},
        {"port as length-delimited", hex("22 04 1A 02 22 00"), "invalid wire type: LengthDelimited (expected Varint)",
         {{"ConnectionInfo", "remote_port"}, {"MeasurementInitResponse", "connection_info"}, {"Msg", "submsg"}}},
        {"submessage length beyond input", hex("12 05 08 01"), "buffer underflow", submsg},
        {"huge length", hex("12 FF FF FF FF FF FF FF FF 01"), "buffer underflow", submsg},
        {"string length beyond input", hex("92 01 03 0A 05 61"), "buffer underflow",
         {{"ServerTracerouteResponse", "stdout"}, {"Msg", "submsg"}}},
        {"skipped fixed32 short", hex("5D 01 02"), "buffer underflow", {}},
        {"skipped fixed64 short", hex("59 01 02 03 04 05 06 07"), "buffer underflow", {}},
        {"skipped bytes short", hex("5A 05 00"), "buffer underflow", {}},
        {"field runs past its message", hex("12 02 08 AC 02"), "delimited length exceeded", submsg},
        {"string runs past its message", hex("12 03 12 05 61 61 61 61 61"), "delimited length exceeded", submsg},
        {"stray end group", hex("5C"), "unexpected end group tag", {}},
        {"end group of another field", hex("5B 64"), "unexpected end group tag", {}},
        {"stray end group in submessage", hex("72 01 0C"), "unexpected end group tag", submsg},
        {"unclosed group", hex("5B 08 01"), "invalid varint", {}},
        {"description not utf-8", hex("12 03 12 01 FF"), "invalid string value: data is not UTF-8 encoded",
         {{"GenericResponse", "description"}, {"Msg", "submsg"}}},
        {"surrogate not utf-8", hex("92 01 05 0A 03 ED A0 80"), "invalid string value: data is not UTF-8 encoded",
         {{"ServerTracerouteResponse", "stdout"}, {"Msg", "submsg"}}},
        {"overlong not utf-8", hex("82 01 04 12 02 C0 80"), "invalid string value: data is not UTF-8 encoded",
         {{"ServerLoadResponse", "stdout_free"}, {"Msg", "submsg"}}},
        {"ip not utf-8", bad_utf8_in_info, "invalid string value: data is not UTF-8 encoded",
         {{"ConnectionInfo", "remote_ip"}, {"MeasurementInitResponse", "connection_info"}, {"Msg", "submsg"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = Msg::decode(c.bytes);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().reason, c.reason);
        EXPECT_EQ(result.error().path, c.path);
    }
    const auto nested = Msg::decode(hex("12 03 12 01 FF"));
    EXPECT_EQ(nested.error().to_string(),
              "GenericResponse.description: Msg.submsg: invalid string value: data is not UTF-8 encoded");
}

// `depth` nested groups of field 19, wrapped in the given prefix bytes.
Bytes nested_groups(int depth)
{
    Bytes out;
    for (int i = 0; i < depth; ++i) out.insert(out.end(), {0x9B, 0x01});
    for (int i = 0; i < depth; ++i) out.insert(out.end(), {0x9C, 0x01});
    return out;
}

Bytes wrap(std::initializer_list<std::uint8_t> key, const Bytes& body)
{
    Bytes out(key);
    append_varint(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(SprintCodec, NestingBudgetOfOneHundredLevels)
{
    // Envelope level: 100 nested unknown groups fit, 101 do not.
    EXPECT_TRUE(Msg::decode(nested_groups(100)).has_value());
    EXPECT_EQ(Msg::decode(nested_groups(101)).error().reason, "recursion limit reached");
    // The submessage is the first level: 99 groups inside it fit.
    EXPECT_EQ(decode_ok(wrap({0x72}, nested_groups(99))), Msg(QuitRequest{}));
    const auto deep = Msg::decode(wrap({0x72}, nested_groups(100)));
    ASSERT_FALSE(deep.has_value());
    EXPECT_EQ(deep.error().reason, "recursion limit reached");
    EXPECT_EQ(deep.error().path, (Path{{"Msg", "submsg"}}));
    // ConnectionInfo is the second level.
    EXPECT_TRUE(Msg::decode(wrap({0x22}, wrap({0x1A}, nested_groups(98)))).has_value());
    EXPECT_EQ(Msg::decode(wrap({0x22}, wrap({0x1A}, nested_groups(99)))).error().reason, "recursion limit reached");
    // A deep hostile nest fails cleanly instead of exhausting the stack.
    EXPECT_EQ(Msg::decode(nested_groups(100000)).error().reason, "recursion limit reached");
}

bool is_known_reason(const std::string& reason)
{
    static const char* exact[] = {"invalid varint",           "invalid tag value: 0",
                                  "buffer underflow",         "delimited length exceeded",
                                  "unexpected end group tag", "invalid string value: data is not UTF-8 encoded",
                                  "recursion limit reached"};
    for (const char* e : exact) {
        if (reason == e) return true;
    }
    return reason.starts_with("invalid key value: ") || reason.starts_with("invalid wire type value: ") ||
           reason.starts_with("invalid wire type: ");
}

TEST(SprintCodec, TruncatedAndRandomInputFailsWithKnownReasons)
{
    const Msg samples[] = {
        MeasurementInitResponse{4096, 1500, ConnectionInfo{"10.0.0.1", 5000, "10.0.0.2", 6142}},
        MeasurementInitRequest{"0.1.0", 1700000000, Bytes(16, 0xAB), Bytes(32, 0xCD)},
        GenericResponse{3, "token rejected"},
        ServerLoadResponse{std::string("procs"), std::string("Mem:")},
        UplinkTestProgressNotification{123456789, 987654321, true},
    };
    for (const auto& sample : samples) {
        const Bytes full = with_id(77, sample).encode();
        for (std::size_t len = 0; len < full.size(); ++len) {
            const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            const auto result = Msg::decode(prefix);
            if (!result) {
                EXPECT_TRUE(is_known_reason(result.error().reason)) << result.error().reason;
            }
        }
    }

    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> length(0, 64);
    int failures = 0;
    for (int i = 0; i < 100000; ++i) {
        Bytes input(length(rng));
        for (auto& b : input) b = static_cast<std::uint8_t>(byte(rng));
        const auto result = Msg::decode(input);
        if (!result) {
            ++failures;
            ASSERT_TRUE(is_known_reason(result.error().reason)) << result.error().reason;
        }
    }
    EXPECT_GT(failures, 0);
}

TEST(SprintCodec, LogText)
{
    struct Case {
        Msg msg;
        const char* text;
    };
    const Case cases[] = {
        {Msg{}, "Msg { message_id: 0, submsg: None }"},
        {GenericResponse{1, "fine \"x\"\n"},
         "Msg { message_id: 0, submsg: Some(GenericResponse { status_code: Ok, description: \"fine \\\"x\\\"\\n\" }) }"},
        {GenericResponse{7, ""}, "Msg { message_id: 0, submsg: Some(GenericResponse { status_code: 7, description: \"\" }) }"},
        {with_id(3, QuitRequest{}), "Msg { message_id: 3, submsg: Some(QuitRequest) }"},
        {MeasurementInitRequest{"0.1.0", 5, {1, 255}, {}},
         "Msg { message_id: 0, submsg: Some(MeasurementInitRequest { protocol_version: \"0.1.0\", timestamp_s: 5, "
         "uuid: [1, 255], hmac: [] }) }"},
        {MeasurementInitResponse{8, 9, ConnectionInfo{"a", 1, "b", 2}},
         "Msg { message_id: 0, submsg: Some(MeasurementInitResponse { chunksize: 8, max_rtt_payload_bytes: 9, "
         "connection_info: Some(ConnectionInfo { remote_ip: \"a\", remote_port: 1, server_ip: \"b\", server_port: 2 "
         "}) }) }"},
        {ServerLoadResponse{std::nullopt, std::string("m")},
         "Msg { message_id: 0, submsg: Some(ServerLoadResponse { stdout_vmstat: None, stdout_free: Some(\"m\") }) }"},
        {UplinkTestProgressNotification{1, 2, true},
         "Msg { message_id: 0, submsg: Some(UplinkTestProgressNotification { duration_ns: 1, bytes: 2, completed: "
         "true }) }"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(to_log_text(c.msg), c.text);
    }
    std::ostringstream os;
    os << Msg(RttUdpResponse{4});
    EXPECT_EQ(os.str(), "Msg { message_id: 0, submsg: Some(RttUdpResponse { identifier: 4 }) }");
}

} // namespace

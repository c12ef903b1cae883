// The standard codec against hand-made byte strings of its public format,
// round trips of every value kind, and hostile input.

#include "platform/flutter/StandardCodec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

using namespace flutter;

namespace {

ByteBuffer bytes(std::initializer_list<int> list) {
    ByteBuffer out;
    for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

const StandardMessageCodec& codec() {
    return StandardMessageCodec::GetInstance();
}

struct WireCase {
    const char* name;
    EncodableValue value;
    ByteBuffer wire;
};

TEST(StandardMessageCodec, EncodesTheStandardWireFormat) {
    const std::vector<WireCase> cases = {
        {"null", EncodableValue(), bytes({0})},
        {"true", EncodableValue(true), bytes({1})},
        {"false", EncodableValue(false), bytes({2})},
        {"int32", EncodableValue(std::int32_t{-2}), bytes({3, 0xfe, 0xff, 0xff, 0xff})},
        {"int64", EncodableValue(std::int64_t{1} << 40), bytes({4, 0, 0, 0, 0, 0, 1, 0, 0})},
        // Doubles are aligned to 8 from the start of the message.
        {"double", EncodableValue(1.0), bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f})},
        {"string", EncodableValue("hi"), bytes({7, 2, 'h', 'i'})},
        {"empty string", EncodableValue(""), bytes({7, 0})},
        {"utf-8 string", EncodableValue("\xc3\xa4"), bytes({7, 2, 0xc3, 0xa4})},
        {"byte list", EncodableValue(std::vector<std::uint8_t>{1, 2}), bytes({8, 2, 1, 2})},
        {"int32 list", EncodableValue(std::vector<std::int32_t>{1}), bytes({9, 1, 0, 0, 1, 0, 0, 0})},
        {"int64 list", EncodableValue(std::vector<std::int64_t>{1}),
         bytes({10, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})},
        {"double list", EncodableValue(std::vector<double>{1.0}),
         bytes({11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f})},
        {"list", EncodableValue(EncodableList{EncodableValue(1), EncodableValue("a")}),
         bytes({12, 2, 3, 1, 0, 0, 0, 7, 1, 'a'})},
        {"double inside a list", EncodableValue(EncodableList{EncodableValue(1.0)}),
         bytes({12, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f})},
        {"map", EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(true)}}),
         bytes({13, 1, 7, 1, 'a', 1})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codec().EncodeMessage(c.value), c.wire);
        EXPECT_EQ(codec().DecodeMessage(c.wire), c.value);
    }
}

TEST(StandardMessageCodec, SizesUseOneThreeOrFiveBytes) {
    struct SizeCase {
        std::size_t length;
        ByteBuffer prefix;
    };
    const std::vector<SizeCase> cases = {
        {253, bytes({7, 253})},
        {254, bytes({7, 254, 254, 0})},
        {0xffff, bytes({7, 254, 0xff, 0xff})},
        {0x10000, bytes({7, 255, 0, 0, 1, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::string text(c.length, 'x');
        ByteBuffer wire = codec().EncodeMessage(EncodableValue(text));
        ASSERT_EQ(wire.size(), c.prefix.size() + c.length);
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), wire.begin()));
        EXPECT_EQ(codec().DecodeMessage(wire), EncodableValue(text));
    }
}

TEST(StandardMessageCodec, RoundTripsEveryKindNested) {
    EncodableMap inner{
        {EncodableValue(7), EncodableValue("int key")},
        {EncodableValue("neg"), EncodableValue(std::numeric_limits<std::int64_t>::min())},
        {EncodableValue("nan-free"), EncodableValue(-0.5)},
    };
    EncodableValue value(EncodableList{
        EncodableValue(), EncodableValue(true), EncodableValue(false),
        EncodableValue(std::numeric_limits<std::int32_t>::max()), EncodableValue(std::int64_t{-3}),
        EncodableValue(3.25), EncodableValue(std::numeric_limits<double>::infinity()), EncodableValue("text"),
        EncodableValue(std::vector<std::uint8_t>{0, 255, 3}), EncodableValue(std::vector<std::int32_t>{-1, 2, 3}),
        EncodableValue(std::vector<std::int64_t>{std::int64_t{1} << 50}), EncodableValue(std::vector<double>{}),
        EncodableValue(std::vector<double>{0.1, 2e300}), EncodableValue(EncodableList{}), EncodableValue(inner),
        EncodableValue(EncodableMap{})});
    ByteBuffer wire = codec().EncodeMessage(value);
    EXPECT_EQ(codec().DecodeMessage(wire), value);
    // An int64 that would fit into 32 bits keeps its kind.
    EXPECT_TRUE(codec().DecodeMessage(codec().EncodeMessage(EncodableValue(std::int64_t{5}))).holds<std::int64_t>());
}

TEST(StandardMethodCodec, MethodCallsAndEnvelopesMatchTheWireFormat) {
    const auto& m = StandardMethodCodec::GetInstance();
    EXPECT_EQ(m.EncodeMethodCall(MethodCall("m", EncodableValue(5))), bytes({7, 1, 'm', 3, 5, 0, 0, 0}));
    EncodableValue ok("ok");
    EXPECT_EQ(m.EncodeSuccessEnvelope(&ok), bytes({0, 7, 2, 'o', 'k'}));
    EXPECT_EQ(m.EncodeSuccessEnvelope(), bytes({0, 0}));
    // An empty message travels as null.
    EXPECT_EQ(m.EncodeErrorEnvelope("c", ""), bytes({1, 7, 1, 'c', 0, 0}));
    EncodableValue details(3);
    EXPECT_EQ(m.EncodeErrorEnvelope("c", "x", &details), bytes({1, 7, 1, 'c', 7, 1, 'x', 3, 3, 0, 0, 0}));

    ByteBuffer call = bytes({7, 2, 'g', 'o', 13, 1, 7, 1, 'k', 2});
    MethodCall decoded = m.DecodeMethodCall(call.data(), call.size());
    EXPECT_EQ(decoded.method_name(), "go");
    EXPECT_EQ(*decoded.arguments(), EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(false)}}));

    ByteBuffer err = bytes({1, 7, 1, 'c', 7, 1, 'x', 3, 3, 0, 0, 0});
    MethodReply reply = m.DecodeEnvelope(err.data(), err.size());
    EXPECT_EQ(reply.kind, MethodReply::Kind::Error);
    EXPECT_EQ(reply.errorCode, "c");
    EXPECT_EQ(reply.errorMessage, "x");
    EXPECT_EQ(reply.value, EncodableValue(3));
    EXPECT_EQ(m.DecodeEnvelope(nullptr, 0).kind, MethodReply::Kind::NotImplemented);
    ByteBuffer success = bytes({0, 7, 2, 'o', 'k'});
    reply = m.DecodeEnvelope(success.data(), success.size());
    EXPECT_EQ(reply.kind, MethodReply::Kind::Success);
    EXPECT_EQ(reply.value, ok);
}

TEST(StandardMessageCodec, RefusesHostileInputWithACodecError) {
    // Every truncation of a valid message fails cleanly.
    ByteBuffer full = codec().EncodeMessage(EncodableValue(EncodableList{
        EncodableValue(1.5), EncodableValue("abc"), EncodableValue(std::vector<std::int64_t>{1, 2}),
        EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(std::vector<std::int32_t>{9})}})}));
    for (std::size_t n = 1; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_THROW(codec().DecodeMessage(full.data(), n), CodecError);
    }
    ByteBuffer deep(200, 12);  // lists of one list, 200 deep
    for (std::size_t i = 1; i < deep.size(); i += 2) deep[i] = 1;
    const std::vector<ByteBuffer> hostile = {
        bytes({99}),                                  // unknown type
        bytes({14, 0}),                               // float32 lists are not carried
        bytes({7, 255, 0xff, 0xff, 0xff, 0xff, 'a'}), // size far beyond the message
        bytes({12, 255, 0xff, 0xff, 0xff, 0x7f}),     // list count beyond the message
        bytes({13, 250, 0}),                          // map count beyond the message
        bytes({1, 0}),                                // trailing bytes
        deep,
    };
    for (const auto& h : hostile) EXPECT_THROW(codec().DecodeMessage(h), CodecError);

    const auto& m = StandardMethodCodec::GetInstance();
    ByteBuffer badName = bytes({3, 1, 0, 0, 0, 0});
    EXPECT_THROW(m.DecodeMethodCall(badName.data(), badName.size()), CodecError);
    ByteBuffer badEnvelope = bytes({2, 0});
    EXPECT_THROW(m.DecodeEnvelope(badEnvelope.data(), badEnvelope.size()), CodecError);
    ByteBuffer badCode = bytes({1, 3, 1, 0, 0, 0, 0, 0});
    EXPECT_THROW(m.DecodeEnvelope(badCode.data(), badCode.size()), CodecError);
}

// A map key that is a chain of one-entry maps, `depth` deep, ending in
// `leaf`: {{{...{leaf: null}...}: null}: null}.
ByteBuffer nestedKey(int depth, std::uint8_t leaf) {
    ByteBuffer out;
    for (int i = 0; i < depth; ++i) {
        out.push_back(13);  // map
        out.push_back(1);   // of one entry
    }
    out.push_back(leaf);
    for (int i = 0; i < depth; ++i) out.push_back(0);  // each entry's value: null
    return out;
}

TEST(StandardMessageCodec, DeeplyNestedMapKeysDecodeInTimeLinearInTheirSize) {
    // Two keys that are equal, or differ only at the bottom, make the map
    // compare them all the way down. Comparing must visit each nested pair
    // once: visiting it twice per level (a `<` each way) costs 4^depth, and
    // at this depth would never end.
    constexpr int kDepth = 60;  // the outer map and the keys stay within the nesting limit
    for (std::uint8_t secondLeaf : {std::uint8_t{0}, std::uint8_t{1}}) {
        SCOPED_TRACE(static_cast<int>(secondLeaf));
        ByteBuffer wire{13, 2};
        ByteBuffer first = nestedKey(kDepth, 0);
        ByteBuffer second = nestedKey(kDepth, secondLeaf);
        wire.insert(wire.end(), first.begin(), first.end());
        wire.insert(wire.end(), {3, 1, 0, 0, 0});
        wire.insert(wire.end(), second.begin(), second.end());
        wire.insert(wire.end(), {3, 2, 0, 0, 0});

        const auto start = std::chrono::steady_clock::now();
        EncodableValue decoded;
        for (int i = 0; i < 100; ++i) decoded = codec().DecodeMessage(wire);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        // Microseconds once linear; the bound only has to tell that from never.
        EXPECT_LT(elapsed, std::chrono::seconds(1));

        const auto* map = decoded.getIf<EncodableMap>();
        ASSERT_NE(map, nullptr);
        // Equal keys are one entry holding the later value.
        ASSERT_EQ(map->size(), secondLeaf == 0 ? 1u : 2u);
        EXPECT_EQ(map->rbegin()->second, EncodableValue(2));
        EXPECT_EQ(codec().EncodeMessage(decoded).size(), secondLeaf == 0 ? wire.size() - second.size() - 5 : wire.size());
    }
}

TEST(StandardMessageCodec, AMessageHoldsAtMostAMillionValues) {
    // Each value costs one byte on the wire but much more decoded.
    auto nulls = [](std::size_t count) {
        ByteBuffer wire{12, 255};
        for (int i = 0; i < 4; ++i) wire.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
        wire.resize(wire.size() + count, 0);
        return wire;
    };
    constexpr std::size_t kLimit = std::size_t{1} << 20;
    // The list counts as one value itself.
    EXPECT_EQ(codec().DecodeMessage(nulls(kLimit - 1)).getIf<EncodableList>()->size(), kLimit - 1);
    try {
        codec().DecodeMessage(nulls(kLimit));
        ADD_FAILURE() << "decoded";
    } catch (const CodecError& e) {
        EXPECT_STREQ(e.what(), "message holds too many values");
    }
}

TEST(EncodableValue, CompareIsATotalOrderAlsoForNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<EncodableValue> ascending = {
        EncodableValue(),        EncodableValue(false),    EncodableValue(true),
        EncodableValue(-1),      EncodableValue(2),        EncodableValue(std::int64_t{-5}),
        EncodableValue(-1e300),  EncodableValue(0.5),      EncodableValue(nan),
        EncodableValue(""),      EncodableValue("a"),      EncodableValue("ab"),
        EncodableValue(std::vector<double>{1.0}),          EncodableValue(std::vector<double>{nan}),
        EncodableValue(EncodableList{}),                   EncodableValue(EncodableList{EncodableValue(1)}),
        EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(1)}}),
        EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(2)}}),
        EncodableValue(EncodableMap{{EncodableValue("b"), EncodableValue(0)}}),
    };
    for (std::size_t i = 0; i < ascending.size(); ++i) {
        for (std::size_t j = 0; j < ascending.size(); ++j) {
            SCOPED_TRACE(std::to_string(i) + " " + std::to_string(j));
            const int expected = i < j ? -1 : (i > j ? 1 : 0);
            EXPECT_EQ(compare(ascending[i], ascending[j]), expected);
            EXPECT_EQ(ascending[i] < ascending[j], i < j);
        }
    }
    // NaN keys keep a map usable: one key, found again.
    EncodableMap map{{EncodableValue(nan), EncodableValue(1)}, {EncodableValue(1.0), EncodableValue(2)}};
    map[EncodableValue(nan)] = EncodableValue(3);
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at(EncodableValue(nan)), EncodableValue(3));
}

TEST(EncodableValue, KindsAreExactAndMapsOrderByValue) {
    EXPECT_TRUE(EncodableValue(1).holds<std::int32_t>());
    EXPECT_FALSE(EncodableValue(std::int64_t{1}).holds<std::int32_t>());
    EXPECT_TRUE(EncodableValue("x").holds<std::string>());
    EXPECT_FALSE(EncodableValue(1) == EncodableValue(1.0));
    EncodableMap map{{EncodableValue("b"), EncodableValue(1)}, {EncodableValue("a"), EncodableValue(2)},
                     {EncodableValue(3), EncodableValue(3)}};
    // Kinds order before contents: the int32 key comes before both strings.
    auto it = map.begin();
    EXPECT_EQ(it->first, EncodableValue(3));
    EXPECT_EQ((++it)->first, EncodableValue("a"));
}

}  // namespace

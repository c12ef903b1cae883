// The big-endian byte and bit stream under the RTP reader.

#include <gtest/gtest.h>

#include "RtpTestSupport.h"
#include "platform/kaitai/KaitaiStream.h"

#include <functional>
#include <string>
#include <vector>

using rtp_test::bytes;

TEST(KaitaiStream, ReadsBitsMostSignificantFirstAndIntegersBigEndian) {
    kaitai::kstream s(bytes({0xB5, 0x7F, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
    EXPECT_EQ(s.read_bits_int_be(2), 2u);   // 10
    EXPECT_EQ(s.read_bits_int_be(1), 1u);   // 1
    EXPECT_EQ(s.read_bits_int_be(1), 1u);   // 1
    EXPECT_EQ(s.read_bits_int_be(4), 5u);   // 0101
    EXPECT_EQ(s.read_bits_int_be(3), 3u);   // 011 of 0x7F
    s.align_to_byte();                      // the rest of 0x7F is dropped
    EXPECT_EQ(s.pos(), 2u);
    EXPECT_EQ(s.read_u2be(), 0x1234u);
    EXPECT_EQ(s.read_u4be(), 0xDEADBEEFu);
    EXPECT_EQ(s.read_u1(), 1u);
    EXPECT_TRUE(s.is_eof());
}

TEST(KaitaiStream, BitFieldsSpanningBytes) {
    kaitai::kstream s(bytes({0x0F, 0xF0, 0xAA}));
    EXPECT_EQ(s.read_bits_int_be(4), 0u);
    EXPECT_EQ(s.read_bits_int_be(8), 0xFFu);
    EXPECT_EQ(s.read_bits_int_be(12), 0x0AAu);
    EXPECT_THROW(s.read_bits_int_be(1), kaitai::end_of_stream_error);
}

TEST(KaitaiStream, ReadsPastTheEndAndNegativeLengthsFail) {
    struct Case {
        const char* name;
        std::function<void(kaitai::kstream&)> read;
        bool negative;
    };
    const std::vector<Case> cases = {
        {"u1 at end", [](kaitai::kstream& s) { s.seek(3); s.read_u1(); }, false},
        {"u2 with one byte left", [](kaitai::kstream& s) { s.seek(2); s.read_u2be(); }, false},
        {"u4 on three bytes", [](kaitai::kstream& s) { s.read_u4be(); }, false},
        {"bytes past end", [](kaitai::kstream& s) { s.read_bytes(4); }, false},
        {"seek past end", [](kaitai::kstream& s) { s.seek(4); }, false},
        {"negative byte run", [](kaitai::kstream& s) { s.read_bytes(-1); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kaitai::kstream s(bytes({1, 2, 3}));
        if (c.negative)
            EXPECT_THROW(c.read(s), kaitai::negative_length_error);
        else
            EXPECT_THROW(c.read(s), kaitai::end_of_stream_error);
    }
}

TEST(KaitaiStream, ByteRunsAndSeekKeepTheirPlace) {
    kaitai::kstream s(bytes({'a', 'b', 'c', 'd', 'e'}));
    EXPECT_EQ(s.read_bytes(2), "ab");
    const auto saved = s.pos();
    s.seek(s.size() - 1);
    EXPECT_EQ(s.read_u1(), 'e');
    s.seek(saved);
    EXPECT_EQ(s.read_bytes(0), "");
    EXPECT_EQ(s.read_bytes_full(), "cde");
    EXPECT_EQ(s.read_bytes_full(), "");
}

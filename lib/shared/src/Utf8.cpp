#include "Utf8.h"

namespace vela_client {

std::size_t utf8_sequence_length(std::string_view text, std::size_t pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const std::size_t left = text.size() - pos;
    const unsigned char b0 = byte(pos);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) {
            lo = 0xA0;  // overlong
        } else if (b0 == 0xED) {
            hi = 0x9F;  // surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) {
            lo = 0x90;  // overlong
        } else if (b0 == 0xF4) {
            hi = 0x8F;  // above U+10FFFF
        }
    } else {
        return 0;
    }
    if (left < len) {
        return 0;
    }
    if (byte(pos + 1) < lo || byte(pos + 1) > hi) {
        return 0;
    }
    for (std::size_t i = 2; i < len; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return len;
}

bool is_valid_utf8(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t len = utf8_sequence_length(text, pos);
        if (len == 0) {
            return false;
        }
        pos += len;
    }
    return true;
}

}  // namespace vela_client

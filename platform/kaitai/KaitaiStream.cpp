#include "platform/kaitai/KaitaiStream.h"

#include <utility>

namespace kaitai {

kstream::kstream(std::string data) : bytes(std::move(data)) {}

bool kstream::is_eof() const { return bitsLeft == 0 && position >= bytes.size(); }

void kstream::seek(uint64_t newPosition) {
    if (newPosition > bytes.size())
        throw end_of_stream_error("seek to " + std::to_string(newPosition) + " past the end of a stream of " +
                                  std::to_string(bytes.size()) + " bytes");
    position = newPosition;
    align_to_byte();
}

void kstream::require(uint64_t n) const {
    if (position > bytes.size() || n > bytes.size() - position)
        throw end_of_stream_error("requested " + std::to_string(n) + " bytes at position " + std::to_string(position) +
                                  ", but the stream ends after " + std::to_string(bytes.size()) + " bytes");
}

uint8_t kstream::read_u1() {
    align_to_byte();
    require(1);
    return static_cast<uint8_t>(bytes[position++]);
}

uint16_t kstream::read_u2be() {
    align_to_byte();
    require(2);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + position);
    position += 2;
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t kstream::read_u4be() {
    align_to_byte();
    require(4);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + position);
    position += 4;
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

uint64_t kstream::read_u8be() {
    const uint64_t high = read_u4be();
    return high << 32 | read_u4be();
}

uint64_t kstream::read_bits_int_be(int n) {
    if (n < 1 || n > 64) throw std::invalid_argument("read_bits_int_be: bit count must be 1 to 64");
    uint64_t result = 0;
    int needed = n;
    while (needed > 0) {
        if (bitsLeft == 0) {
            require(1);
            bits = static_cast<uint8_t>(bytes[position++]);
            bitsLeft = 8;
        }
        const int take = needed < bitsLeft ? needed : bitsLeft;  // at most 8
        const uint64_t chunk = (bits >> (bitsLeft - take)) & ((uint64_t{1} << take) - 1);
        result = (result << take) | chunk;
        bitsLeft -= take;
        needed -= take;
    }
    return result;
}

void kstream::align_to_byte() {
    bits = 0;
    bitsLeft = 0;
}

std::string kstream::read_bytes(int64_t n) {
    if (n < 0) throw negative_length_error("requested a negative amount of bytes: " + std::to_string(n));
    align_to_byte();
    require(static_cast<uint64_t>(n));
    std::string run = bytes.substr(position, static_cast<std::size_t>(n));
    position += static_cast<uint64_t>(n);
    return run;
}

std::string kstream::read_bytes_full() {
    align_to_byte();
    std::string run = position < bytes.size() ? bytes.substr(position) : std::string();
    position = bytes.size();
    return run;
}

}  // namespace kaitai

#pragma once
// A small big-endian byte and bit stream over an in-memory byte string, with
// the calls that generated binary-format parsers make (bit fields taken from
// the most significant end of each byte, big-endian integers, byte runs,
// seeking). A read past the end raises end_of_stream_error; a byte run of
// negative length raises negative_length_error. Both derive from
// stream_error, so a parser's caller can catch every decoding failure at once.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kaitai {

class stream_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class end_of_stream_error : public stream_error {
public:
    using stream_error::stream_error;
};

class negative_length_error : public stream_error {
public:
    using stream_error::stream_error;
};

class kstream {
public:
    // The stream keeps its own copy of the bytes.
    explicit kstream(std::string data);

    kstream(const kstream&) = delete;
    kstream& operator=(const kstream&) = delete;

    // Position in bytes from the start; a pending partial byte of bit reads
    // does not count.
    uint64_t pos() const { return position; }
    uint64_t size() const { return bytes.size(); }
    bool is_eof() const;
    // Moves to an absolute byte position (at most size()) and drops any
    // pending bits. A position past the end raises end_of_stream_error.
    void seek(uint64_t newPosition);

    uint8_t read_u1();
    uint16_t read_u2be();
    uint32_t read_u4be();
    uint64_t read_u8be();

    // Reads n bits (1 to 64), most significant first, as an unsigned value.
    uint64_t read_bits_int_be(int n);
    // Drops the rest of a partly read byte, so the next read starts at a
    // byte boundary.
    void align_to_byte();

    // Exactly n bytes; a negative n raises negative_length_error.
    std::string read_bytes(int64_t n);
    // Everything from the position to the end.
    std::string read_bytes_full();

private:
    // Ensures n more whole bytes are there (after any pending bits).
    void require(uint64_t n) const;

    std::string bytes;
    uint64_t position = 0;
    // Bits read from the byte before `position` but not yet handed out.
    uint64_t bits = 0;
    int bitsLeft = 0;
};

// Base of every generated record type: the stream it was read from.
class kstruct {
public:
    explicit kstruct(kstream* io) : m__io(io) {}
    virtual ~kstruct() = default;

    kstruct(const kstruct&) = delete;
    kstruct& operator=(const kstruct&) = delete;

    kstream* _io() const { return m__io; }

protected:
    kstream* m__io;
};

}  // namespace kaitai

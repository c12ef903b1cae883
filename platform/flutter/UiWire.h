#pragma once
// Frames on the UI socket. Each frame is a little-endian uint32 length of
// what follows, then one kind byte:
//   1 message: uint32 id (0 = no reply wanted), uint16 channel-name length,
//     the name, then the payload;
//   2 reply: uint32 id of the message answered, then the payload;
//   3 quit: nothing more (the UI asks the agent to close its window);
//   4 hello: the entry-point arguments of the UI, a list of texts in the
//     standard message codec; the agent's first frame to the UI it serves;
//   5 close: a UTF-8 text saying why; the agent closes the connection after
//     it (a UI refused because another is served, a UI that is dropped, the
//     agent ending).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flutter::wire {

enum class FrameKind : std::uint8_t { Message = 1, Reply = 2, Quit = 3, Hello = 4, Close = 5 };

// Frames above this size are refused and end the connection.
constexpr std::size_t kMaxFrameSize = 64u * 1024u * 1024u;

struct Frame {
    FrameKind kind = FrameKind::Quit;
    std::uint32_t id = 0;
    std::string channel;
    std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> encodeFrame(const Frame& frame);
// Parses the body of one frame (after the length); no value when malformed.
std::optional<Frame> decodeFrameBody(const std::uint8_t* data, std::size_t size);

// Blocking helpers on a connected stream socket.
bool writeAll(int fd, const std::uint8_t* data, std::size_t size);
// Reads one frame; no value at end of stream, on a read error or a malformed
// or oversized frame. The buffer grows with the bytes that arrive, not with
// the length the header claims.
std::optional<Frame> readFrame(int fd);

// Frames taken from bytes as they arrive on a non-blocking socket. The
// buffer holds at most one frame's bytes beyond what has been taken out,
// and grows with what arrives, not with what a header claims.
class FrameReader {
public:
    // Appends received bytes.
    void feed(const std::uint8_t* data, std::size_t size);
    // The next complete frame; no value when more bytes are needed or the
    // stream is broken (see failed()).
    std::optional<Frame> next();
    // A malformed or oversized frame was met; nothing more is taken.
    bool failed() const { return failed_; }
    // Bytes of a frame not yet complete are held.
    bool midFrame() const { return !failed_ && buffer_.size() > start_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // first byte not yet taken
    bool failed_ = false;
};

}  // namespace flutter::wire

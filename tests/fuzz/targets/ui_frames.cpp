// Frames on the UI socket as the agent reads them: the byte stream is put
// on a socket, read frame by frame, and each frame's payload decoded as the
// channels decode it (method calls in messages, envelopes in replies).

#include "../FuzzTarget.h"

#include "platform/flutter/StandardCodec.h"
#include "platform/flutter/UiWire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace flutter;

namespace {

void decodePayload(const wire::Frame& frame) {
    try {
        if (frame.kind == wire::FrameKind::Message) {
            (void)StandardMethodCodec::GetInstance().DecodeMethodCall(frame.payload.data(), frame.payload.size());
        } else if (frame.kind == wire::FrameKind::Reply) {
            (void)StandardMethodCodec::GetInstance().DecodeEnvelope(frame.payload.data(), frame.payload.size());
        }
    } catch (const CodecError&) {
    }
}

// A frame body that decodes is written back to the same bytes.
void roundTrip(const std::uint8_t* body, std::size_t size) {
    const auto frame = wire::decodeFrameBody(body, size);
    if (!frame) return;
    const std::vector<std::uint8_t> encoded = wire::encodeFrame(*frame);
    FUZZ_CHECK(encoded.size() == size + 4);
    FUZZ_CHECK(std::memcmp(encoded.data() + 4, body, size) == 0);
    decodePayload(*frame);
}

// The bytes up to the first frame whose length claims more than the input
// holds: the reader would allocate the claimed length (up to the frame
// limit) only to meet the end of the stream, which costs the fuzzer its
// speed and teaches it nothing.
std::size_t wholeFrames(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (size - at >= 4) {
        const std::size_t length = std::size_t(data[at]) | std::size_t(data[at + 1]) << 8 |
                                   std::size_t(data[at + 2]) << 16 | std::size_t(data[at + 3]) << 24;
        if (length > wire::kMaxFrameSize) return size;  // refused from its header alone
        if (length > size - at - 4) return at;
        at += 4 + length;
    }
    return size;
}

}  // namespace

LUMIVEX_FUZZ_TARGET(ui_frames) {
    roundTrip(data, size);

    // The agent's own reader, fed in uneven pieces: the frames it takes are
    // those of the blocking reader below, whatever the pieces.
    wire::FrameReader reader;
    std::size_t taken = 0;
    for (std::size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 % 17 + 1) {
        reader.feed(data + at, std::min(piece, size - at));
        while (auto frame = reader.next()) {
            decodePayload(*frame);
            ++taken;
        }
    }

    // The stream as a socket delivers it; inputs are far below the socket's buffer.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    const bool written = wire::writeAll(fds[1], data, wholeFrames(data, size));
    ::close(fds[1]);
    if (written) {
        std::size_t read = 0;
        while (auto frame = wire::readFrame(fds[0])) {
            decodePayload(*frame);
            ++read;
        }
        FUZZ_CHECK(read == taken || reader.failed() || reader.midFrame());
    }
    ::close(fds[0]);
    return 0;
}

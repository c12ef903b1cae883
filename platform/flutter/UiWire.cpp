#include "platform/flutter/UiWire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace flutter::wire {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool readAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> encodeFrame(const Frame& frame) {
    std::vector<std::uint8_t> body;
    body.push_back(static_cast<std::uint8_t>(frame.kind));
    if (frame.kind == FrameKind::Message) {
        put32(body, frame.id);
        std::size_t n = frame.channel.size() > 0xffff ? 0xffff : frame.channel.size();
        body.push_back(static_cast<std::uint8_t>(n & 0xff));
        body.push_back(static_cast<std::uint8_t>(n >> 8));
        body.insert(body.end(), frame.channel.begin(), frame.channel.begin() + static_cast<std::ptrdiff_t>(n));
        body.insert(body.end(), frame.payload.begin(), frame.payload.end());
    } else if (frame.kind == FrameKind::Reply) {
        put32(body, frame.id);
        body.insert(body.end(), frame.payload.begin(), frame.payload.end());
    } else if (frame.kind == FrameKind::Hello || frame.kind == FrameKind::Close) {
        body.insert(body.end(), frame.payload.begin(), frame.payload.end());
    }
    std::vector<std::uint8_t> out;
    out.reserve(body.size() + 4);
    put32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::optional<Frame> decodeFrameBody(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return std::nullopt;
    Frame f;
    switch (data[0]) {
        case 1: {
            if (size < 7) return std::nullopt;
            f.kind = FrameKind::Message;
            f.id = get32(data + 1);
            std::size_t n = std::size_t(data[5]) | std::size_t(data[6]) << 8;
            if (size < 7 + n) return std::nullopt;
            f.channel.assign(reinterpret_cast<const char*>(data + 7), n);
            f.payload.assign(data + 7 + n, data + size);
            return f;
        }
        case 2:
            if (size < 5) return std::nullopt;
            f.kind = FrameKind::Reply;
            f.id = get32(data + 1);
            f.payload.assign(data + 5, data + size);
            return f;
        case 3:
            if (size != 1) return std::nullopt;
            f.kind = FrameKind::Quit;
            return f;
        case 4:
        case 5:
            f.kind = static_cast<FrameKind>(data[0]);
            f.payload.assign(data + 1, data + size);
            return f;
        default:
            return std::nullopt;
    }
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<Frame> readFrame(int fd) {
    std::uint8_t header[4];
    if (!readAll(fd, header, 4)) return std::nullopt;
    std::uint32_t size = get32(header);
    if (size == 0 || size > kMaxFrameSize) return std::nullopt;
    // The buffer grows with what actually arrives, so a length alone
    // does not make us reserve the largest frame.
    constexpr std::size_t kStep = 64u * 1024u;
    std::vector<std::uint8_t> body;
    while (body.size() < size) {
        const std::size_t have = body.size();
        const std::size_t next = std::min<std::size_t>(size - have, std::max(kStep, have));
        body.resize(have + next);
        if (!readAll(fd, body.data() + have, next)) return std::nullopt;
    }
    return decodeFrameBody(body.data(), body.size());
}

void FrameReader::feed(const std::uint8_t* data, std::size_t size) {
    if (failed_ || size == 0) return;
    // What was taken out goes before new bytes come in.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

std::optional<Frame> FrameReader::next() {
    if (failed_) return std::nullopt;
    const std::size_t have = buffer_.size() - start_;
    if (have < 4) return std::nullopt;
    const std::uint32_t size = get32(buffer_.data() + start_);
    if (size == 0 || size > kMaxFrameSize) {
        failed_ = true;
        return std::nullopt;
    }
    if (have - 4 < size) return std::nullopt;
    auto frame = decodeFrameBody(buffer_.data() + start_ + 4, size);
    if (!frame) {
        failed_ = true;
        return std::nullopt;
    }
    start_ += 4 + size;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return frame;
}

}  // namespace flutter::wire

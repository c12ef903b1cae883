// Stream framing: a 2-byte big-endian length before every envelope, data
// chunks bare (payload, then one marker byte). Reads go through one large
// buffer, so small chunks are taken from it many at a time, and large chunk
// payloads are read straight into the caller's buffer together with what
// follows them; writes are gather writes.

#include "lib/MessageTransport.h"
#include "lib/StreamTypes.h"
#include "lib/detail/OpTimer.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <cstring>

namespace asio = boost::asio;
using boost::system::error_code;

namespace vela_client {

namespace {

using detail::Clock;
using detail::Deadline;
using detail::OpTimer;

constexpr std::size_t kReadBufferSize = 256 * 1024;
constexpr std::size_t kMaxEnvelope = 0xFFFF;
constexpr std::size_t kDirectReadMin = 16 * 1024;
constexpr std::size_t kDirectReadTail = 4096;


template <class Stream>
struct StreamState : std::enable_shared_from_this<StreamState<Stream>> {
    explicit StreamState(Stream&& s)
        : stream(std::move(s)), strand(strand_of(stream.get_executor())), read_timer(strand), write_timer(strand)
    {
    }
    Stream stream;
    Strand strand;
    OpTimer read_timer;
    OpTimer write_timer;
};

bool is_end_of_stream(const error_code& ec)
{
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

template <class Stream>
class StreamMessageReader final : public MessageReader {
public:
    explicit StreamMessageReader(std::shared_ptr<StreamState<Stream>> state)
        : state_(std::move(state)), buffer_(new std::uint8_t[kReadBufferSize])
    {
    }

    asio::awaitable<IoStatus> recv_msg(std::vector<std::uint8_t>& buffer, Timeout timeout) override
    {
        if (!state_->strand.running_in_this_thread())
            co_return co_await asio::co_spawn(state_->strand, recv_msg(buffer, timeout), asio::use_awaitable);
        const Deadline deadline = detail::deadline_after(timeout);
        std::array<std::uint8_t, 2> length{};
        if (auto failed = co_await fill(length, "unexpected end of file", deadline))
            co_return failed;
        buffer.resize(std::size_t(length[0]) << 8 | length[1]);
        co_return co_await fill(buffer, "early eof", deadline);
    }

    asio::awaitable<IoStatus> recv_chunk(std::span<std::uint8_t> payload, bool& last, Timeout timeout) override
    {
        if (!state_->strand.running_in_this_thread())
            co_return co_await asio::co_spawn(state_->strand, recv_chunk(payload, last, timeout), asio::use_awaitable);
        // Fast path: the whole chunk is already buffered.
        const std::size_t available = end_ - pos_;
        if (available > payload.size()) {
            std::memcpy(payload.data(), buffer_.get() + pos_, payload.size());
            pos_ += payload.size();
            last = buffer_[pos_++] == 0xFF;
            co_return IoStatus{};
        }
        const Deadline deadline = detail::deadline_after(timeout);
        if (auto failed = co_await fill(payload, "early eof", deadline))
            co_return failed;
        std::uint8_t marker = 0;
        if (auto failed = co_await fill(std::span<std::uint8_t>(&marker, 1), "unexpected end of file", deadline))
            co_return failed;
        last = marker == 0xFF;
        co_return IoStatus{};
    }

private:
    // Fills `out` from the read buffer and then from the stream.
    asio::awaitable<IoStatus> fill(std::span<std::uint8_t> out, const char* eof_text, const Deadline& deadline)
    {
        std::size_t n = std::min(end_ - pos_, out.size());
        if (n > 0) {
            std::memcpy(out.data(), buffer_.get() + pos_, n);
            pos_ += n;
            out = out.subspan(n);
        }
        while (!out.empty()) {
            pos_ = end_ = 0;
            // Small pieces go through the read buffer; large ones are read in
            // place, with a little of what follows them (the marker, the next
            // frame's start) landing in the read buffer.
            const bool direct = out.size() >= kDirectReadMin;
            std::array<asio::mutable_buffer, 2> targets{
                direct ? asio::buffer(out.data(), out.size()) : asio::buffer(buffer_.get(), kReadBufferSize),
                direct ? asio::buffer(buffer_.get(), kDirectReadTail) : asio::mutable_buffer()};
            auto& timer = state_->read_timer;
            if (deadline)
                timer.arm(*deadline, state_);
            auto [ec, got] = co_await state_->stream.async_read_some(
                targets, asio::bind_cancellation_slot(timer.slot(), asio::as_tuple(asio::use_awaitable)));
            if (deadline)
                timer.disarm();
            if (got > 0) {
                if (direct) {
                    const std::size_t used = std::min(got, out.size());
                    out = out.subspan(used);
                    end_ = got - used;
                } else {
                    end_ = got;
                    n = std::min(end_, out.size());
                    std::memcpy(out.data(), buffer_.get(), n);
                    pos_ = n;
                    out = out.subspan(n);
                }
                continue;
            }
            if (ec == asio::error::operation_aborted && timer.expired())
                co_return TransportError{IoErrorKind::TimedOut, kReadTimedOut};
            if (is_end_of_stream(ec) || !ec)
                co_return TransportError{IoErrorKind::UnexpectedEof, eof_text};
            co_return TransportError{IoErrorKind::Os, ec.message()};
        }
        co_return IoStatus{};
    }

    std::shared_ptr<StreamState<Stream>> state_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

template <class Stream>
class StreamMessageWriter final : public MessageWriter {
public:
    explicit StreamMessageWriter(std::shared_ptr<StreamState<Stream>> state) : state_(std::move(state)) {}

    asio::awaitable<IoStatus> send_msg(std::span<const std::uint8_t> bytes, Timeout timeout) override
    {
        // The length field holds 16 bits: a longer envelope would corrupt the
        // framing, so it is refused before anything is written.
        if (bytes.size() > kMaxEnvelope)
            co_return TransportError{IoErrorKind::InvalidData,
                                     "message of " + std::to_string(bytes.size()) +
                                         " bytes exceeds the frame limit of 65535 bytes"};
        if (!state_->strand.running_in_this_thread())
            co_return co_await asio::co_spawn(state_->strand, send_msg(bytes, timeout), asio::use_awaitable);
        length_[0] = std::uint8_t(bytes.size() >> 8);
        length_[1] = std::uint8_t(bytes.size());
        std::array<asio::const_buffer, 2> parts{asio::buffer(length_), asio::buffer(bytes.data(), bytes.size())};
        co_return co_await write(parts, 2 + bytes.size(), timeout);
    }

    asio::awaitable<IoStatus> send_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout) override
    {
        if (!state_->strand.running_in_this_thread())
            co_return co_await asio::co_spawn(state_->strand, send_chunk(payload, last, timeout), asio::use_awaitable);
        marker_ = last ? 0xFF : 0x00;
        std::array<asio::const_buffer, 2> parts{asio::buffer(payload.data(), payload.size()), asio::buffer(&marker_, 1)};
        co_return co_await write(parts, payload.size() + 1, timeout);
    }

private:
    asio::awaitable<IoStatus> write(const std::array<asio::const_buffer, 2>& parts, std::size_t total, Timeout timeout)
    {
        const Deadline deadline = detail::deadline_after(timeout);
        auto& timer = state_->write_timer;
        if (deadline)
            timer.arm(*deadline, state_);
        auto [ec, written] = co_await asio::async_write(
            state_->stream, parts, asio::bind_cancellation_slot(timer.slot(), asio::as_tuple(asio::use_awaitable)));
        if (deadline)
            timer.disarm();
        if (ec == asio::error::operation_aborted && timer.expired())
            co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
        if (ec)
            co_return TransportError{IoErrorKind::Os, ec.message()};
        if (written < total)
            co_return TransportError{IoErrorKind::WriteZero, "write zero"};
        co_return IoStatus{};
    }

    std::shared_ptr<StreamState<Stream>> state_;
    std::array<std::uint8_t, 2> length_{};
    std::uint8_t marker_ = 0;
};

template <class Stream>
std::variant<MessageTransport, std::string> make_stream_transport(Stream&& stream, SocketHandle socket)
{
    auto state = std::make_shared<StreamState<Stream>>(std::move(stream));
    auto addresses = peer_and_local_addr(socket);
    if (auto* text = std::get_if<std::string>(&addresses))
        return *text;  // the halves and the second handle are released here
    MessageTransport transport;
    const auto& both = std::get<PeerAndLocal>(addresses);
    transport.peer_address = both.peer;
    transport.local_address = both.local;
    transport.executor = state->strand;
    transport.reader = std::make_shared<ReaderHolder>();
    transport.reader->reader = std::make_unique<StreamMessageReader<Stream>>(state);
    transport.writer = std::make_unique<StreamMessageWriter<Stream>>(state);
    transport.socket = std::move(socket);
    return transport;
}

} // namespace

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TcpSocket>(TcpSocket&& stream, SocketHandle socket)
{
    return make_stream_transport(std::move(stream), std::move(socket));
}

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TlsStream>(TlsStream&& stream, SocketHandle socket)
{
    return make_stream_transport(std::move(stream), std::move(socket));
}

} // namespace vela_client

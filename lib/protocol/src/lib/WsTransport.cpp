// Websocket framing: one binary message per envelope and per data chunk (the
// chunk's payload followed by its marker byte).

#include "lib/MessageTransport.h"
#include "lib/StreamTypes.h"
#include "lib/detail/BuildTransport.h"
#include "lib/detail/CopyBytes.h"
#include "lib/detail/Watchdog.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <cstring>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace vela_client {

namespace {

using detail::Deadline;
using detail::Watchdog;

template <class Ws>
struct WsState : std::enable_shared_from_this<WsState<Ws>> {
    explicit WsState(Ws&& ws) : stream(std::move(ws)), strand(strand_of(stream.get_executor())), read_timer(strand), write_timer(strand) {}
    Ws stream;
    Strand strand;
    Watchdog read_timer;
    Watchdog write_timer;
    bool reading = false;
    bool control_seen = false;  // a ping or pong arrived while a read waited
    asio::cancellation_signal control_cancel;
};

template <class Ws>
class WsMessageReader final : public MessageReader {
public:
    explicit WsMessageReader(std::shared_ptr<WsState<Ws>> state) : state_(std::move(state))
    {
        // A ping or pong where a binary message is awaited fails that read;
        // the cancellation is posted so that it does not run inside the read.
        std::weak_ptr<WsState<Ws>> weak = state_;
        state_->stream.control_callback([weak](websocket::frame_type kind, beast::string_view) {
            auto state = weak.lock();
            if (!state || kind == websocket::frame_type::close || !state->reading)
                return;
            state->control_seen = true;
            asio::post(state->strand, [weak] {
                if (auto s = weak.lock(); s && s->reading)
                    s->control_cancel.emit(asio::cancellation_type::terminal);
            });
        });
    }

    asio::awaitable<IoStatus> recv_msg(std::vector<std::uint8_t>& buffer, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, recv_msg(buffer, timeout), asio::use_awaitable);
        if (auto failed = co_await read_message(timeout))
            co_return failed;
        const auto data = message_.cdata();
        const auto* bytes = static_cast<const std::uint8_t*>(data.data());
        buffer.assign(bytes, bytes + data.size());
        co_return IoStatus{};
    }

    asio::awaitable<IoStatus> recv_chunk(std::span<std::uint8_t> payload, bool& last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, recv_chunk(payload, last, timeout), asio::use_awaitable);
        if (auto failed = co_await read_message(timeout))
            co_return failed;
        const auto data = message_.cdata();
        if (auto wrong = check_chunk(data.size(), payload.size()))
            co_return wrong;
        const auto* bytes = static_cast<const std::uint8_t*>(data.data());
        detail::copy_bytes(payload.data(), bytes, payload.size());
        last = bytes[payload.size()] == 0xFF;
        co_return IoStatus{};
    }

    asio::awaitable<IoStatus> skip_chunk(std::size_t payload_size, bool& last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, skip_chunk(payload_size, last, timeout), asio::use_awaitable);
        if (auto failed = co_await read_message(timeout))
            co_return failed;
        const auto data = message_.cdata();
        if (auto wrong = check_chunk(data.size(), payload_size))
            co_return wrong;
        last = static_cast<const std::uint8_t*>(data.data())[payload_size] == 0xFF;
        co_return IoStatus{};
    }

    asio::awaitable<void> wait_readable() override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, wait_readable(), asio::use_awaitable);
        if (failed_)
            co_return;  // the connection cannot serve another step
        if constexpr (std::is_same_v<Ws, WsTls>) {
            // Over TLS the socket carries the server's own records while the
            // connection is idle (session tickets): only a cancellation ends
            // this wait.
            asio::steady_timer never(state_->strand, asio::steady_timer::time_point::max());
            co_await never.async_wait(asio::as_tuple(asio::use_awaitable));
        } else {
            // As over the plain stream: a readiness whose bytes a read has
            // already taken does not answer the wait.
            auto& socket = beast::get_lowest_layer(state_->stream);
            for (;;) {
                auto [ec] = co_await socket.async_wait(TcpSocket::wait_read, asio::as_tuple(asio::use_awaitable));
                if (ec || readable_now(socket.native_handle()))
                    co_return;
            }
        }
    }

private:
    static IoStatus check_chunk(std::size_t message_size, std::size_t payload_size)
    {
        if (message_size == 0)
            return TransportError{IoErrorKind::InvalidData, "empty message"};
        if (message_size != payload_size + 1)
            return TransportError{IoErrorKind::InvalidData, "unexpected message size"};
        return IoStatus{};
    }

    // Reads one whole message into message_; a text message, a ping or a pong
    // is refused. The first failure is kept and given to every later read
    // without touching the stream: after a protocol violation Beast has torn
    // the stream down, and after a cancelled read (a deadline, a control
    // frame) its state is undefined, so another read there trips its
    // internal assertions.
    asio::awaitable<IoStatus> read_message(Timeout timeout)
    {
        if (failed_)
            co_return failed_;
        failed_ = co_await read_stream_message(timeout);
        co_return failed_;
    }

    asio::awaitable<IoStatus> read_stream_message(Timeout timeout)
    {
        auto& state = *state_;
        message_.clear();
        const Deadline deadline = detail::deadline_after(timeout);
        if (deadline)
            state.read_timer.watch(*deadline, state_);
        state.reading = true;
        state.control_seen = false;
        // Either the deadline or a control frame cancels the read.
        asio::cancellation_signal& signal = state.control_cancel;
        auto timer_slot = state.read_timer.slot();
        timer_slot.assign([&signal](asio::cancellation_type type) { signal.emit(type); });
        auto [ec, size] = co_await state.stream.async_read(
            message_, asio::bind_cancellation_slot(signal.slot(), asio::as_tuple(asio::use_awaitable)));
        state.reading = false;
        timer_slot.clear();
        state.read_timer.stop();
        if (!ec) {
            if (!state.stream.got_binary())
                co_return TransportError{IoErrorKind::InvalidData, "unexpected message"};
            co_return IoStatus{};
        }
        if (state.control_seen)
            co_return TransportError{IoErrorKind::InvalidData, "unexpected message"};
        if (deadline && ec == asio::error::operation_aborted && state.read_timer.expired())
            co_return TransportError{IoErrorKind::TimedOut, kReadTimedOut};
        if (ec == websocket::error::closed)
            co_return TransportError{IoErrorKind::ConnectionReset, "WS connection closed"};
        if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated)
            co_return TransportError{IoErrorKind::Other, "did not receive a message"};
        co_return TransportError{IoErrorKind::Other, ec.message()};
    }

    std::shared_ptr<WsState<Ws>> state_;
    beast::flat_buffer message_;
    IoStatus failed_;  // the first failed read
};

template <class Ws>
class WsMessageWriter final : public MessageWriter {
public:
    explicit WsMessageWriter(std::shared_ptr<WsState<Ws>> state) : state_(std::move(state)) {}

    asio::awaitable<IoStatus> send_msg(std::span<const std::uint8_t> bytes, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, send_msg(bytes, timeout), asio::use_awaitable);
        co_return co_await write(asio::buffer(bytes.data(), bytes.size()), timeout);
    }

    asio::awaitable<IoStatus> send_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, send_chunk(payload, last, timeout), asio::use_awaitable);
        // One copy: the marker byte must follow the payload in one message.
        message_.resize(payload.size() + 1);
        detail::copy_bytes(message_.data(), payload.data(), payload.size());
        message_.back() = last ? 0xFF : 0x00;
        co_return co_await write(asio::buffer(message_), timeout);
    }

    asio::awaitable<ChunkRun> send_chunks(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last,
                                          const ChunkLimits& limits) override
    {
        // One message per chunk, each with its own time-out.
        co_return co_await send_chunks_one_by_one(*this, payloads, final_is_last, limits);
    }

private:
    asio::awaitable<IoStatus> write(asio::const_buffer message, Timeout timeout)
    {
        return write(message, detail::deadline_after(timeout));
    }

    // Like the reader, the writer keeps its first failure: a cancelled
    // write leaves the stream in an undefined state.
    asio::awaitable<IoStatus> write(asio::const_buffer message, Deadline deadline)
    {
        if (failed_)
            co_return failed_;
        failed_ = co_await write_stream_message(message, deadline);
        co_return failed_;
    }

    asio::awaitable<IoStatus> write_stream_message(asio::const_buffer message, Deadline deadline)
    {
        auto& state = *state_;
        if (deadline)
            state.write_timer.watch(*deadline, state_);
        state.stream.binary(true);
        auto [ec, written] = co_await state.stream.async_write(
            message, asio::bind_cancellation_slot(state.write_timer.slot(), asio::as_tuple(asio::use_awaitable)));
        state.write_timer.stop();
        if (deadline && ec == asio::error::operation_aborted && state.write_timer.expired())
            co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
        if (ec)
            co_return TransportError{IoErrorKind::Other, ec.message()};
        co_return IoStatus{};
    }

    std::shared_ptr<WsState<Ws>> state_;
    std::vector<std::uint8_t> message_;
    IoStatus failed_;  // the first failed write
};

template <class Ws>
std::variant<MessageTransport, std::string> make_ws_transport(Ws&& ws, SocketHandle socket)
{
    return detail::build_transport<WsMessageReader<Ws>, WsMessageWriter<Ws>>(std::make_shared<WsState<Ws>>(std::move(ws)),
                                                                             std::move(socket));
}

} // namespace

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_websocket<WsTcp>(WsTcp&& websocket, SocketHandle socket)
{
    return make_ws_transport(std::move(websocket), std::move(socket));
}

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_websocket<WsTls>(WsTls&& websocket, SocketHandle socket)
{
    return make_ws_transport(std::move(websocket), std::move(socket));
}

} // namespace vela_client

#pragma once

// The server's side of a TLS connection over a non-blocking TCP socket.
// OpenSSL works on a pair of in-memory rings whose network side this class
// fills from the socket and drains into it, so that one socket call carries
// many records and decrypted data goes straight into the caller's buffer.
// Every step is tried at once; the reactor is used only when the socket
// would block.
//
// All calls are made on the connection's strand. One reader and one writer
// may be at work at the same time (waits never hold a pointer into a ring).
// It also serves as the next layer of a beast websocket stream.

#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <utility>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace speed_server {

class TlsStream {
public:
    using tcp = boost::asio::ip::tcp;
    using error_code = boost::system::error_code;
    using executor_type = tcp::socket::executor_type;
    using next_layer_type = tcp::socket;
    using lowest_layer_type = tcp::socket;
    using Result = std::pair<error_code, std::size_t>;

    // Bytes each ring holds (sixteen full records).
    static constexpr std::size_t kRingSize = 256 * 1024;

    // A server session on an accepted socket; throws when OpenSSL cannot
    // make one.
    TlsStream(tcp::socket socket, SSL_CTX* context);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() { return socket_.get_executor(); }
    tcp::socket& next_layer() { return socket_; }
    tcp::socket& lowest_layer() { return socket_; }

    // The server handshake; an alert the engine made is sent before a
    // failure is given.
    boost::asio::awaitable<error_code> handshake();

    // Decrypts into [out, out + size) without waiting, taking at most about
    // `pull_most` bytes from the socket; would_block when no plaintext is
    // ready. The end of the stream is eof after the peer's close_notify,
    // stream_truncated without it.
    std::size_t read_available(std::uint8_t* out, std::size_t size, error_code& ec, std::size_t pull_most = kRingSize);
    // As read_available, waiting for the socket until at least one byte is
    // there.
    boost::asio::awaitable<Result> read_some(std::uint8_t* out, std::size_t size, std::size_t pull_most = kRingSize);

    // Takes as much of `data` as the output ring has room for (waiting for
    // the socket only when it has none), encrypts it and sends what the
    // socket takes at once. Gives the bytes taken; the rest of their records
    // may still wait in the ring for the next write or flush().
    boost::asio::awaitable<Result> write_some(const std::uint8_t* data, std::size_t size);
    // All of `parts` encrypted and on the socket. Small messages are joined
    // into one record.
    boost::asio::awaitable<error_code> write(std::span<const boost::asio::const_buffer> parts);
    // Sends what the output ring holds, waiting for the socket as needed.
    boost::asio::awaitable<error_code> flush();

    // Queues a close_notify and sends what the socket takes at once.
    void send_close_notify();
    // A close_notify as far as the socket takes it, then both directions
    // of the socket shut down.
    void close();

    // Asynchronous stream operations for beast's websocket stream.
    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token)
    {
        return boost::asio::async_initiate<Token, void(error_code, std::size_t)>(
            [this](auto handler, const MutableBuffers& buffers) {
                boost::asio::mutable_buffer target;
                for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it)
                    if (boost::asio::mutable_buffer b(*it); b.size() > 0) {
                        target = b;
                        break;
                    }
                start(read_op(target), std::move(handler));
            },
            token, buffers);
    }
    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token)
    {
        return boost::asio::async_initiate<Token, void(error_code, std::size_t)>(
            [this](auto handler, const ConstBuffers& buffers) {
                // Joined into one piece (beast writes a frame header and its
                // payload as separate buffers), at most a ringful.
                std::vector<std::uint8_t> joined;
                for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
                    boost::asio::const_buffer b(*it);
                    const std::size_t take = std::min(b.size(), kRingSize - joined.size());
                    const auto* p = static_cast<const std::uint8_t*>(b.data());
                    joined.insert(joined.end(), p, p + take);
                    if (joined.size() == kRingSize)
                        break;
                }
                start(write_op(std::move(joined)), std::move(handler));
            },
            token, buffers);
    }

private:
    template <class Handler>
    void start(boost::asio::awaitable<Result> op, Handler handler)
    {
        boost::asio::co_spawn(get_executor(), std::move(op),
                              [handler = std::move(handler)](std::exception_ptr e, Result r) mutable {
                                  if (e)
                                      r.first = boost::asio::error::fault;
                                  std::move(handler)(r.first, r.second);
                              });
    }
    boost::asio::awaitable<Result> read_op(boost::asio::mutable_buffer target);
    boost::asio::awaitable<Result> write_op(std::vector<std::uint8_t> data);

    // Socket bytes into the input ring without waiting, at most `most`.
    std::size_t pull(error_code& ec, std::size_t most);
    // Output ring into the socket without waiting, as far as it takes it.
    error_code push();
    // Waits until the socket can take bytes, then pushes.
    boost::asio::awaitable<error_code> push_waiting();
    // Plaintext the output ring has room for without splitting a record.
    std::size_t write_room() const;
    error_code engine_error(int result);
    error_code end_of_stream() const;

    tcp::socket socket_;
    SSL* ssl_ = nullptr;
    BIO* network_ = nullptr;  // network side of the ring pair
    bool failed_ = false;     // the engine reported a fatal error
    std::vector<std::uint8_t> staging_;
};

// Closing a websocket over TLS: a close_notify, then the socket as beast
// tears down a plain TCP stream.
void teardown(boost::beast::role_type role, TlsStream& stream, boost::system::error_code& ec);

template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, TlsStream& stream, TeardownHandler&& handler)
{
    stream.send_close_notify();
    boost::beast::websocket::async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

} // namespace speed_server

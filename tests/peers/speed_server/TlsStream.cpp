#include "TlsStream.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

namespace asio = boost::asio;
using boost::system::error_code;
using asio::awaitable;

namespace speed_server {

// Names of their own: this file may share a unity build with the server's.
namespace {

constexpr auto kAsTuple = asio::as_tuple(asio::use_awaitable);
// Plaintext of one full record, and more than any cipher suite adds to it.
constexpr std::size_t kRecordSize = 16 * 1024;
constexpr std::size_t kRecordOverhead = 256;
// Messages up to this size are joined into one record.
constexpr std::size_t kJoinBytes = 64 * 1024 + 2;

bool socket_would_block(const error_code& ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

error_code openssl_error(unsigned long err)
{
    return err ? error_code(static_cast<int>(err), asio::error::get_ssl_category())
               : error_code(asio::ssl::error::unspecified_system_error);
}

} // namespace

TlsStream::TlsStream(tcp::socket socket, SSL_CTX* context) : socket_(std::move(socket))
{
    ERR_clear_error();
    ssl_ = SSL_new(context);
    if (!ssl_)
        throw boost::system::system_error(openssl_error(ERR_get_error()), "SSL_new");
    BIO* inner = nullptr;
    if (BIO_new_bio_pair(&inner, kRingSize, &network_, kRingSize) != 1) {
        const auto ec = openssl_error(ERR_get_error());
        SSL_free(ssl_);
        throw boost::system::system_error(ec, "BIO_new_bio_pair");
    }
    SSL_set_bio(ssl_, inner, inner);
    SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Writing never has to read: a client's renegotiation is refused.
    SSL_set_options(ssl_, SSL_OP_NO_RENEGOTIATION);
    SSL_set_accept_state(ssl_);
    error_code ignored;
    socket_.non_blocking(true, ignored);
}

TlsStream::~TlsStream()
{
    SSL_free(ssl_);  // also frees the inner side of the ring pair
    BIO_free(network_);
}

error_code TlsStream::engine_error(int result)
{
    const int kind = SSL_get_error(ssl_, result);
    switch (kind) {
    case SSL_ERROR_ZERO_RETURN:
        return asio::error::eof;
    case SSL_ERROR_SSL:
    case SSL_ERROR_SYSCALL:
        failed_ = true;  // the engine may not be used for a close_notify
        return openssl_error(ERR_get_error());
    default:
        return asio::ssl::error::unexpected_result;
    }
}

error_code TlsStream::end_of_stream() const
{
    // Only a close_notify ends the stream cleanly.
    return (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) ? error_code(asio::error::eof)
                                                            : error_code(asio::ssl::error::stream_truncated);
}

std::size_t TlsStream::pull(error_code& ec, std::size_t most)
{
    char* space = nullptr;
    const int room = BIO_nwrite0(network_, &space);
    if (room <= 0) {
        ec = asio::ssl::error::unexpected_result;  // a record larger than the ring
        return 0;
    }
    const std::size_t got = socket_.read_some(asio::buffer(space, std::min(std::size_t(room), most)), ec);
    if (got > 0)
        BIO_nwrite(network_, &space, int(got));
    return got;
}

error_code TlsStream::push()
{
    for (;;) {
        char* data = nullptr;
        const int pending = BIO_nread0(network_, &data);
        if (pending <= 0)
            return {};
        error_code ec;
        const std::size_t sent = socket_.write_some(asio::buffer(data, std::size_t(pending)), ec);
        if (sent > 0)
            BIO_nread(network_, &data, int(sent));
        if (socket_would_block(ec))
            return {};
        if (ec)
            return ec;
        if (sent == 0)
            return asio::error::no_buffer_space;
    }
}

awaitable<error_code> TlsStream::push_waiting()
{
    auto [ec] = co_await socket_.async_wait(tcp::socket::wait_write, kAsTuple);
    if (ec)
        co_return ec;
    co_return push();
}

awaitable<error_code> TlsStream::flush()
{
    for (;;) {
        if (auto ec = push())
            co_return ec;
        if (BIO_ctrl_pending(network_) == 0)
            co_return error_code();
        auto [ec] = co_await socket_.async_wait(tcp::socket::wait_write, kAsTuple);
        if (ec)
            co_return ec;
    }
}

std::size_t TlsStream::write_room() const
{
    const std::size_t room = BIO_ctrl_get_write_guarantee(SSL_get_wbio(ssl_));
    const std::size_t whole = room / (kRecordSize + kRecordOverhead);
    if (whole > 0)
        return whole * kRecordSize;
    return room > kRecordOverhead ? room - kRecordOverhead : 0;
}

awaitable<error_code> TlsStream::handshake()
{
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl_);
        const int kind = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
        const error_code failed = kind == SSL_ERROR_NONE || kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE
                                      ? error_code()
                                      : engine_error(result);
        // Whatever the engine wrote goes out first (an alert included).
        if (auto sent = co_await flush(); sent && !failed)
            co_return sent;
        if (failed)
            co_return failed;
        if (kind == SSL_ERROR_NONE)
            co_return error_code();
        if (kind == SSL_ERROR_WANT_READ) {
            error_code ec;
            if (pull(ec, kRingSize) > 0)
                continue;
            if (ec == asio::error::eof)
                co_return end_of_stream();
            if (!socket_would_block(ec))
                co_return ec;
            auto [wec] = co_await socket_.async_wait(tcp::socket::wait_read, kAsTuple);
            if (wec)
                co_return wec;
        }
    }
}

std::size_t TlsStream::read_available(std::uint8_t* out, std::size_t size, error_code& ec, std::size_t pull_most)
{
    ec = {};
    std::size_t total = 0;
    while (total < size) {
        ERR_clear_error();
        std::size_t n = 0;
        const int result = SSL_read_ex(ssl_, out + total, size - total, &n);
        if (result == 1) {
            total += n;
            continue;
        }
        const int kind = SSL_get_error(ssl_, result);
        if (kind == SSL_ERROR_WANT_READ) {
            // More records from the socket, if it has them.
            error_code pulled;
            if (pull(pulled, pull_most) > 0)
                continue;
            if (total > 0)
                break;
            if (pulled == asio::error::eof)
                ec = end_of_stream();
            else
                ec = pulled ? pulled : error_code(asio::error::would_block);
            break;
        }
        if (total > 0)
            break;  // the failure comes again with the next read
        if (kind == SSL_ERROR_WANT_WRITE) {
            // The engine must send before it reads on (its ring is full).
            ec = asio::error::would_block;
            break;
        }
        ec = engine_error(result);
        break;
    }
    // What reading made the engine send (a key update, say).
    if (BIO_ctrl_pending(network_) > 0)
        push();
    return total;
}

awaitable<TlsStream::Result> TlsStream::read_some(std::uint8_t* out, std::size_t size, std::size_t pull_most)
{
    if (size == 0)
        co_return Result{};
    for (;;) {
        error_code ec;
        const std::size_t n = read_available(out, size, ec, pull_most);
        if (!socket_would_block(ec))
            co_return Result{ec, n};
        if (BIO_ctrl_pending(network_) > 0) {
            if (auto sent = co_await flush())
                co_return Result{sent, 0};
            continue;
        }
        auto [wec] = co_await socket_.async_wait(tcp::socket::wait_read, kAsTuple);
        if (wec)
            co_return Result{wec, 0};
    }
}

awaitable<TlsStream::Result> TlsStream::write_some(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        co_return Result{};
    // Room for a full record at least, so that a nearly full ring does not
    // cut the data into small records.
    const std::size_t want = std::min(size, kRecordSize);
    std::size_t room = write_room();
    while (room < want) {
        if (auto ec = push())
            co_return Result{ec, 0};
        room = write_room();
        if (room >= want)
            break;
        if (auto ec = co_await push_waiting())
            co_return Result{ec, 0};
        room = write_room();
    }
    const std::size_t take = std::min(size, room);
    for (;;) {
        // The records fit in the ring; should the engine still want room,
        // the same bytes are offered again once the socket took some.
        ERR_clear_error();
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl_, data, take, &n);
        if (result == 1)
            co_return Result{push(), n};
        if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_WRITE)
            co_return Result{engine_error(result), 0};
        if (auto ec = push())
            co_return Result{ec, 0};
        if (BIO_ctrl_get_write_guarantee(SSL_get_wbio(ssl_)) > 0)
            continue;
        if (auto ec = co_await push_waiting())
            co_return Result{ec, 0};
    }
}

awaitable<error_code> TlsStream::write(std::span<const asio::const_buffer> parts)
{
    std::size_t total = 0;
    for (const auto& part : parts)
        total += part.size();
    if (parts.size() > 1 && total <= kJoinBytes) {
        // A length field and its body as one record, not two.
        staging_.clear();
        for (const auto& part : parts) {
            const auto* p = static_cast<const std::uint8_t*>(part.data());
            staging_.insert(staging_.end(), p, p + part.size());
        }
        const asio::const_buffer joined(staging_.data(), staging_.size());
        co_return co_await write(std::span(&joined, 1));
    }
    for (const auto& part : parts) {
        const auto* data = static_cast<const std::uint8_t*>(part.data());
        std::size_t size = part.size();
        while (size > 0) {
            auto [ec, n] = co_await write_some(data, size);
            if (ec)
                co_return ec;
            data += n;
            size -= n;
        }
    }
    co_return co_await flush();
}

void TlsStream::send_close_notify()
{
    ERR_clear_error();
    if (!failed_ && (SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN) == 0 && SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    push();
}

void TlsStream::close()
{
    send_close_notify();
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
}

awaitable<TlsStream::Result> TlsStream::read_op(asio::mutable_buffer target)
{
    co_return co_await read_some(static_cast<std::uint8_t*>(target.data()), target.size());
}

awaitable<TlsStream::Result> TlsStream::write_op(std::vector<std::uint8_t> data)
{
    const asio::const_buffer whole(data.data(), data.size());
    if (auto ec = co_await write(std::span(&whole, 1)))
        co_return Result{ec, 0};
    co_return Result{error_code(), data.size()};
}

void teardown(boost::beast::role_type role, TlsStream& stream, boost::system::error_code& ec)
{
    stream.send_close_notify();
    boost::beast::websocket::teardown(role, stream.next_layer(), ec);
}

} // namespace speed_server

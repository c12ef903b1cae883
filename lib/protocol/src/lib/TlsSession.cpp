#include "lib/TlsSession.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

namespace asio = boost::asio;
using boost::system::error_code;

namespace vela_client {

namespace {

using detail::Deadline;
using detail::passed;

// Room a record takes in the ring beyond its plaintext: header, explicit IV,
// MAC or tag and padding, and a split-off first byte of the old CBC suites.
constexpr std::size_t kRecordSlack = 1024;

bool would_block(const error_code& ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

error_code ssl_error_code(unsigned long err)
{
    return error_code(static_cast<int>(err), asio::error::get_ssl_category());
}

} // namespace

std::variant<std::unique_ptr<TlsSession>, error_code> TlsSession::create(TcpSocket socket, SSL_CTX* context,
                                                                         const std::string& host, bool skip_validation)
{
    ERR_clear_error();
    SSL* ssl = SSL_new(context);
    if (!ssl)
        return ssl_error_code(ERR_get_error());
    BIO* inner = nullptr;
    BIO* network = nullptr;
    if (BIO_new_bio_pair(&inner, kRingBytes, &network, kRingBytes) != 1) {
        const auto ec = ssl_error_code(ERR_get_error());
        SSL_free(ssl);
        return ec;
    }
    SSL_set_bio(ssl, inner, inner);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Writing never has to read: a server's request to renegotiate is
    // declined, so the reader alone takes records from the socket.
    SSL_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
    SSL_set_connect_state(ssl);
    auto session = std::unique_ptr<TlsSession>(new TlsSession(std::move(socket), ssl, network));
    if (skip_validation) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
        // The name check of the peer's certificate: an IP address against
        // its address entries, anything else as a host name.
        error_code not_ip;
        asio::ip::make_address(host, not_ip);
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        const int set = not_ip ? X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size())
                               : X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
        if (set != 1)
            return ssl_error_code(ERR_get_error());
    }
    SSL_set_tlsext_host_name(ssl, host.c_str());
    error_code ignored;
    session->socket_.non_blocking(true, ignored);
    return session;
}

TlsSession::TlsSession(TcpSocket socket, SSL* ssl, BIO* network)
    : socket_(std::move(socket)), ssl_(ssl), network_(network), push_done_(socket_.get_executor())
{
    push_done_.expires_at(asio::steady_timer::time_point::max());
}

TlsSession::~TlsSession()
{
    if (ssl_)
        SSL_free(ssl_);  // also frees the inner side of the ring pair
    if (network_)
        BIO_free(network_);
}

error_code TlsSession::engine_error(int result)
{
    const int kind = SSL_get_error(ssl_, result);
    const unsigned long err = ERR_get_error();
    switch (kind) {
    case SSL_ERROR_ZERO_RETURN:
        return asio::error::eof;
    case SSL_ERROR_SSL:
        return ssl_error_code(err);
    case SSL_ERROR_SYSCALL:
        return err ? ssl_error_code(err) : error_code(asio::ssl::error::unspecified_system_error);
    default:
        return asio::ssl::error::unexpected_result;
    }
}

std::size_t TlsSession::pull(error_code& ec)
{
    char* space = nullptr;
    const int room = BIO_nwrite0(network_, &space);
    if (room <= 0) {
        ec = asio::ssl::error::unexpected_result;  // a record larger than the ring
        return 0;
    }
    const std::size_t got = socket_.read_some(asio::buffer(space, std::size_t(room)), ec);
    if (got > 0)
        BIO_nwrite(network_, &space, int(got));
    return got;
}

asio::awaitable<TlsSession::Step> TlsSession::pull_waiting(const Deadline& deadline, detail::Watchdog* watch,
                                                           std::weak_ptr<void> owner)
{
    Step step;
    step.bytes = pull(step.ec);
    if (would_block(step.ec)) {
        if (passed(deadline)) {
            step.timed_out = true;
            co_return step;
        }
        // Wait for the socket; the reactor's read lands in the ring.
        char* space = nullptr;
        const int room = BIO_nwrite0(network_, &space);
        if (room <= 0) {
            step.ec = asio::ssl::error::unexpected_result;
            co_return step;
        }
        const auto target = asio::buffer(space, std::size_t(room));
        if (watch && deadline)
            watch->watch(*deadline, owner);
        // Without a watchdog (the handshake) the wait stays cancellable by
        // the caller's own time limit.
        auto [ec, got] = watch ? co_await socket_.async_read_some(
                                     target, asio::bind_cancellation_slot(watch->slot(), asio::as_tuple(asio::use_awaitable)))
                               : co_await socket_.async_read_some(target, asio::as_tuple(asio::use_awaitable));
        if (watch)
            watch->stop();
        if (got > 0)
            BIO_nwrite(network_, &space, int(got));
        step.ec = ec;
        step.bytes = got;
        step.timed_out = watch && deadline && ec == asio::error::operation_aborted && watch->expired();
    }
    if (step.ec == asio::error::eof)
        step.ec = end_of_stream();
    co_return step;
}

error_code TlsSession::end_of_stream() const
{
    // Only a close_notify ends the stream cleanly.
    return (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) ? error_code(asio::error::eof)
                                                            : error_code(asio::ssl::error::stream_truncated);
}

error_code TlsSession::push()
{
    if (pushing_)
        return {};  // the writer that waits for the socket sends these too
    for (;;) {
        char* data = nullptr;
        const int pending = BIO_nread0(network_, &data);
        if (pending <= 0)
            return {};
        error_code ec;
        const std::size_t sent = socket_.write_some(asio::buffer(data, std::size_t(pending)), ec);
        if (sent > 0)
            consumed(int(sent));
        if (would_block(ec))
            return {};
        if (ec)
            return ec;
    }
}

asio::awaitable<TlsSession::Step> TlsSession::push_all(const Deadline& deadline, detail::Watchdog* watch,
                                                       std::weak_ptr<void> owner)
{
    Step step;
    // One sender at a time: bytes in flight stay in the ring until the
    // reactor has sent them.
    while (pushing_) {
        if (passed(deadline)) {
            step.timed_out = true;
            co_return step;
        }
        if (watch && deadline)
            watch->watch(*deadline, owner);
        auto [ec] = watch ? co_await push_done_.async_wait(
                                asio::bind_cancellation_slot(watch->slot(), asio::as_tuple(asio::use_awaitable)))
                          : co_await push_done_.async_wait(asio::as_tuple(asio::use_awaitable));
        if (watch)
            watch->stop();
        if (watch && deadline && watch->expired()) {
            step.timed_out = true;
            co_return step;
        }
        if (ec && ec != asio::error::operation_aborted) {
            step.ec = ec;
            co_return step;
        }
    }
    for (;;) {
        char* data = nullptr;
        const int pending = BIO_nread0(network_, &data);
        if (pending <= 0)
            co_return step;
        const auto source = asio::buffer(data, std::size_t(pending));
        std::size_t sent = socket_.write_some(source, step.ec);
        if (would_block(step.ec)) {
            if (passed(deadline)) {
                step.timed_out = true;
                co_return step;
            }
            pushing_ = true;
            if (watch && deadline)
                watch->watch(*deadline, owner);
            auto [ec, n] = watch ? co_await socket_.async_write_some(
                                       source, asio::bind_cancellation_slot(watch->slot(), asio::as_tuple(asio::use_awaitable)))
                                 : co_await socket_.async_write_some(source, asio::as_tuple(asio::use_awaitable));
            if (watch)
                watch->stop();
            pushing_ = false;
            push_done_.cancel();  // wakes a sender that waits for its turn
            step.ec = ec;
            sent = n;
            step.timed_out = watch && deadline && ec == asio::error::operation_aborted && watch->expired();
        }
        if (sent > 0)
            consumed(int(sent));
        if (step.timed_out || step.ec)
            co_return step;
        if (sent == 0) {
            step.ec = asio::error::no_buffer_space;
            co_return step;
        }
    }
}

asio::awaitable<error_code> TlsSession::handshake()
{
    for (;;) {
        ERR_clear_error();
        const int result = SSL_do_handshake(ssl_);
        const int kind = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
        const error_code failed = kind == SSL_ERROR_NONE || kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE
                                      ? error_code()
                                      : engine_error(result);
        // Whatever the engine wrote goes out first (an alert included).
        if (BIO_ctrl_pending(network_) > 0) {
            auto sent = co_await push_all(std::nullopt, nullptr, {});
            if (sent.ec && !failed)
                co_return sent.ec;
        }
        if (failed)
            co_return failed;
        if (kind == SSL_ERROR_NONE)
            co_return error_code();
        if (kind == SSL_ERROR_WANT_READ) {
            auto got = co_await pull_waiting(std::nullopt, nullptr, {});
            if (got.ec)
                co_return got.ec;
        }
    }
}

std::size_t TlsSession::try_read(std::span<const asio::mutable_buffer> targets, error_code& ec)
{
    needs_output_ = false;
    std::size_t total = 0;
    for (const auto& target : targets) {
        auto* out = static_cast<std::uint8_t*>(target.data());
        std::size_t room = target.size();
        while (room > 0) {
            ERR_clear_error();
            std::size_t n = 0;
            const int result = SSL_read_ex(ssl_, out, room, &n);
            if (result == 1) {
                out += n;
                room -= n;
                total += n;
                continue;
            }
            const int kind = SSL_get_error(ssl_, result);
            if (kind == SSL_ERROR_WANT_READ) {
                // More records from the socket, if it has them.
                error_code pulled;
                if (pull(pulled) > 0)
                    continue;
                if (total > 0)
                    break;
                if (pulled == asio::error::eof)
                    ec = end_of_stream();
                else
                    ec = pulled ? pulled : error_code(asio::error::would_block);
                return 0;
            }
            if (total > 0)
                break;  // the failure comes again with the next read
            if (kind == SSL_ERROR_WANT_WRITE) {
                needs_output_ = true;
                ec = asio::error::would_block;
                return 0;
            }
            ec = engine_error(result);
            return 0;
        }
        if (room > 0)
            break;
    }
    // What reading made the engine send (a key update, say).
    if (BIO_ctrl_pending(network_) > 0)
        push();
    ec = {};
    return total;
}

asio::awaitable<TlsSession::Step> TlsSession::read_some(std::span<const asio::mutable_buffer> targets,
                                                        const Deadline& deadline, detail::Watchdog& watch,
                                                        std::weak_ptr<void> owner)
{
    for (;;) {
        Step step;
        step.bytes = try_read(targets, step.ec);
        if (!would_block(step.ec))
            co_return step;
        if (needs_output_) {
            // The engine has to send before it can read on: its output ring
            // is full.
            auto sent = co_await push_all(deadline, &watch, owner);
            if (sent.ec || sent.timed_out)
                co_return sent;
            continue;
        }
        auto got = co_await pull_waiting(deadline, &watch, owner);
        if (got.ec || got.timed_out)
            co_return got;
    }
}

asio::awaitable<TlsSession::Step> TlsSession::encrypt(const std::uint8_t* data, std::size_t size, const Deadline& deadline,
                                                      detail::Watchdog& watch, std::weak_ptr<void> owner)
{
    while (size > 0) {
        ERR_clear_error();
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl_, data, size, &n);
        if (result == 1) {
            data += n;
            size -= n;
            sealed_plain_ += n;
            continue;
        }
        if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_WRITE) {
            Step failed;
            failed.ec = engine_error(result);
            co_return failed;
        }
        // The output ring is full: send it, then go on.
        auto sent = co_await push_all(deadline, &watch, owner);
        if (sent.ec || sent.timed_out)
            co_return sent;
    }
    co_return Step{};
}

asio::awaitable<TlsSession::Step> TlsSession::write(std::span<const asio::const_buffer> parts, const Deadline& deadline,
                                                    detail::Watchdog& watch, std::weak_ptr<void> owner)
{
    // Full records straight from the caller's bytes; a part's tail below a
    // record waits in staging_ and is completed from the next part, so a
    // marker byte or a length field never becomes a record of its own.
    staging_.clear();
    for (const auto& part : parts) {
        const auto* data = static_cast<const std::uint8_t*>(part.data());
        std::size_t size = part.size();
        if (!staging_.empty()) {
            const std::size_t take = std::min(size, kRecordPlaintext - staging_.size());
            staging_.insert(staging_.end(), data, data + take);
            data += take;
            size -= take;
            if (staging_.size() < kRecordPlaintext)
                continue;
            auto step = co_await encrypt(staging_.data(), staging_.size(), deadline, watch, owner);
            if (step.ec || step.timed_out)
                co_return step;
            staging_.clear();
        }
        const std::size_t whole = size - size % kRecordPlaintext;
        if (whole > 0) {
            auto step = co_await encrypt(data, whole, deadline, watch, owner);
            if (step.ec || step.timed_out)
                co_return step;
        }
        staging_.assign(data + whole, data + size);
    }
    if (!staging_.empty()) {
        auto step = co_await encrypt(staging_.data(), staging_.size(), deadline, watch, owner);
        if (step.ec || step.timed_out)
            co_return step;
        staging_.clear();
    }
    co_return co_await push_all(deadline, &watch, owner);
}

void TlsSession::consumed(int n)
{
    char* data = nullptr;
    BIO_nread(network_, &data, n);
    sent_ += std::uint64_t(n);
}

std::uint64_t TlsSession::sealed_end() const { return sent_ + unsent(); }

std::size_t TlsSession::unsent() const { return BIO_ctrl_pending(network_); }

bool TlsSession::has_room_for_record() const
{
    return BIO_ctrl_get_write_guarantee(SSL_get_wbio(ssl_)) >= kRecordPlaintext + kRecordSlack;
}

std::size_t TlsSession::seal_record(const std::uint8_t* data, std::size_t size, error_code& ec)
{
    // With room for a whole record the engine never stops half-way; should
    // it still ask to write first, the same bytes are offered again later.
    if (!has_room_for_record()) {
        ec = asio::error::would_block;
        return 0;
    }
    std::size_t taken = 0;
    while (taken < size) {
        ERR_clear_error();
        std::size_t n = 0;
        const int result = SSL_write_ex(ssl_, data + taken, size - taken, &n);
        if (result != 1) {
            ec = SSL_get_error(ssl_, result) == SSL_ERROR_WANT_WRITE ? error_code(asio::error::would_block)
                                                                     : engine_error(result);
            break;
        }
        taken += n;
        sealed_plain_ += n;
    }
    return taken;
}

std::size_t TlsSession::seal(const std::uint8_t* data, std::size_t size, error_code& ec)
{
    ec = {};
    std::size_t taken = 0;
    while (taken < size) {
        if (!staging_.empty() || size - taken < kRecordPlaintext) {
            const std::size_t add = std::min(size - taken, kRecordPlaintext - staging_.size());
            staging_.insert(staging_.end(), data + taken, data + taken + add);
            taken += add;
            if (staging_.size() < kRecordPlaintext)
                break;
            const std::size_t n = seal_record(staging_.data(), staging_.size(), ec);
            staging_.erase(staging_.begin(), staging_.begin() + std::ptrdiff_t(n));
            if (ec)
                break;
        } else {
            taken += seal_record(data + taken, kRecordPlaintext, ec);
            if (ec)
                break;
        }
    }
    return taken;
}

error_code TlsSession::seal_tail()
{
    error_code ec;
    if (!staging_.empty()) {
        const std::size_t n = seal_record(staging_.data(), staging_.size(), ec);
        staging_.erase(staging_.begin(), staging_.begin() + std::ptrdiff_t(n));
    }
    return ec;
}

asio::awaitable<error_code> TlsSession::wait_writable()
{
    if (pushing_) {
        // The reader sends the ring: its end is the moment to try again.
        co_await push_done_.async_wait(asio::as_tuple(asio::use_awaitable));
        co_return error_code();
    }
    auto [ec] = co_await socket_.async_wait(TcpSocket::wait_write, asio::as_tuple(asio::use_awaitable));
    co_return ec;
}

} // namespace vela_client

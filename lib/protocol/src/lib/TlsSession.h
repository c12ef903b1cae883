#pragma once

// A TLS client session over a non-blocking TCP socket, for the stream
// framing. OpenSSL works on a pair of in-memory rings whose network side this
// class fills from the socket and drains into it: a socket read brings in many
// records at once, decrypted records are taken out many at a time, and
// outgoing records are sent in large writes. Like the plain socket, every step
// is first tried at once and waits through the reactor only when the socket
// would block.
//
// One reader and one writer may use a session at the same time from tasks on
// the connection's strand; all calls are made on that strand.

#include "lib/StreamTypes.h"
#include "lib/detail/Watchdog.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace vela_client {

class TlsSession {
public:
    // A client session over a connected socket: server name indication with
    // `host`, and unless `skip_validation` is set, the peer's chain checked
    // against the context's trusted roots and its name (or IP address)
    // against `host`. The provider's error when it cannot be built.
    static std::variant<std::unique_ptr<TlsSession>, boost::system::error_code>
    create(TcpSocket socket, SSL_CTX* context, const std::string& host, bool skip_validation);

    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The client handshake; ends early when cancelled (a time limit around it).
    boost::asio::awaitable<boost::system::error_code> handshake();

    // Decrypted bytes into `targets`: at once when records are complete or
    // the socket has them, else after waiting within the deadline. The end of
    // the stream is eof after the peer's close_notify, stream_truncated
    // without it.
    struct Step {
        boost::system::error_code ec;
        std::size_t bytes = 0;
        bool timed_out = false;
    };
    boost::asio::awaitable<Step> read_some(std::span<const boost::asio::mutable_buffer> targets,
                                           const detail::Deadline& deadline, detail::Watchdog& watch,
                                           std::weak_ptr<void> owner);

    // Encrypts and sends all of `parts` as one stream of full records (small
    // parts are joined, never sent as records of their own) and returns once
    // every record is on the socket, or the deadline passed.
    boost::asio::awaitable<Step> write(std::span<const boost::asio::const_buffer> parts, const detail::Deadline& deadline,
                                       detail::Watchdog& watch, std::weak_ptr<void> owner);

    // Outgoing records built ahead of sending, for a writer that drives the
    // socket itself (a run of chunks). None of these wait.
    //
    // Takes plaintext into full records while the output ring has room for
    // one; a piece below a record is staged and completed by the next call
    // (or by seal_tail). Gives the bytes taken, staged ones included;
    // would_block when the ring has no room for a record (push first).
    std::size_t seal(const std::uint8_t* data, std::size_t size, boost::system::error_code& ec);
    // Seals the staged bytes as a record of their own; would_block as seal.
    boost::system::error_code seal_tail();
    bool staged() const { return !staging_.empty(); }
    // Plaintext sealed into records, over the session's life.
    std::uint64_t sealed_plain() const { return sealed_plain_; }
    // Record bytes handed to the socket, and where the records built so far
    // end in that count.
    std::uint64_t sent_bytes() const { return sent_; }
    std::uint64_t sealed_end() const;
    // Record bytes not yet handed to the socket.
    std::size_t unsent() const;
    // Sends the output ring without waiting, as far as the socket takes it
    // (nothing while the reader sends it through the reactor).
    boost::system::error_code push_ready() { return push(); }
    // Waits until the socket takes bytes again, or the reader's send through
    // the reactor is done; cancellable.
    boost::asio::awaitable<boost::system::error_code> wait_writable();

    // Plaintext of one full record, and the room of each ring in bytes.
    static constexpr std::size_t kRecordPlaintext = 16 * 1024;
    static constexpr std::size_t kRingBytes = 256 * 1024;

    TcpSocket& socket() { return socket_; }
    boost::asio::any_io_executor get_executor() { return socket_.get_executor(); }

private:
    TlsSession(TcpSocket socket, SSL* ssl, BIO* network);

    // Decrypts what the input ring holds, pulling from the socket without
    // waiting; would_block when a record is still incomplete.
    std::size_t try_read(std::span<const boost::asio::mutable_buffer> targets, boost::system::error_code& ec);
    // Socket bytes into the input ring without waiting.
    std::size_t pull(boost::system::error_code& ec);
    // Waits for socket bytes and puts them into the input ring.
    // Without a watchdog the wait is cancellable by the caller instead.
    boost::asio::awaitable<Step> pull_waiting(const detail::Deadline& deadline, detail::Watchdog* watch,
                                              std::weak_ptr<void> owner);
    boost::system::error_code end_of_stream() const;
    // Sends the output ring without waiting, as far as the socket takes it.
    boost::system::error_code push();
    // Sends all of the output ring, waiting for the socket as needed.
    boost::asio::awaitable<Step> push_all(const detail::Deadline& deadline, detail::Watchdog* watch,
                                          std::weak_ptr<void> owner);
    // Hands plaintext to the engine, sending records whenever the output ring
    // is full.
    boost::asio::awaitable<Step> encrypt(const std::uint8_t* data, std::size_t size, const detail::Deadline& deadline,
                                         detail::Watchdog& watch, std::weak_ptr<void> owner);
    boost::system::error_code engine_error(int result);
    // One SSL write of a record's plaintext into the ring; the bytes taken.
    std::size_t seal_record(const std::uint8_t* data, std::size_t size, boost::system::error_code& ec);
    bool has_room_for_record() const;
    // Takes `n` bytes out of the ring, as handed to the socket.
    void consumed(int n);

    TcpSocket socket_;
    SSL* ssl_ = nullptr;
    BIO* network_ = nullptr;  // network side of the ring pair
    bool pushing_ = false;    // output ring bytes are in flight through the reactor
    bool needs_output_ = false;  // the last read stopped because the output ring was full
    boost::asio::steady_timer push_done_;  // cancelled when they are sent
    std::vector<std::uint8_t> staging_;  // the start of a record still to be filled
    std::uint64_t sealed_plain_ = 0;
    std::uint64_t sent_ = 0;
};

} // namespace vela_client

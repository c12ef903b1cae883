#include "SpeedServer.h"
#include "TlsStream.h"

#include "common/TestCertificate.h"
#include "sprint.pb.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <type_traits>

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace websocket = boost::beast::websocket;
using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

namespace speed_server {

namespace {

constexpr std::size_t kBlockBytes = 1 << 20;  // downlink writes of about 1 MiB
constexpr std::size_t kReadBytes = 256 * 1024;

// Walks fixed-size chunks through the received bytes and finds the markers.
struct ChunkScan {
    std::size_t chunk_size = 1;
    std::size_t offset = 0;  // bytes of the current chunk seen so far
    std::uint64_t chunks = 0;
};

bool would_block(const boost::system::error_code& ec)
{
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

// Reads uplink data at a set rate across all connections, as a shaped link
// would deliver it: each read takes a small piece (20 ms worth) and is paid
// for afterwards by waiting until the shared account is even again.
//
// While data waits in the socket the link keeps delivering at its rate, also
// when the reader's thread got no processor for a while: the time it lost is
// credit that later reads catch up on, up to what a receive buffer holds.
// A read that found the socket empty had nothing queued behind it, so the
// link was idle and there is nothing to catch up on; the time before that,
// while earlier reads were paid for, still counts.
class RateLimiter {
public:
    RateLimiter(std::uint64_t bits_per_second, Clock::duration stall)
        : bytes_per_second_(double(bits_per_second) / 8.0), stall_(stall)
    {
    }

    bool limited() const { return bytes_per_second_ > 0.0; }
    // The next read is held for the stall set at construction, once.
    void stall_next()
    {
        std::lock_guard lock(mutex_);
        stall_now_ = stall_ > Clock::duration::zero();
    }
    // Largest read that keeps the byte count smooth.
    std::size_t piece() const { return std::max<std::size_t>(64, std::size_t(bytes_per_second_ / 50.0)); }

    // Charges `bytes` that were read (`waited`: the read had to wait for
    // them); how long to wait before reading more.
    Clock::duration charge(std::size_t bytes, bool waited)
    {
        static constexpr double kReceiveBuffer = 256.0 * 1024.0;
        std::lock_guard lock(mutex_);
        if (stall_now_) {
            // Every other reader waits on the lock meanwhile.
            stall_now_ = false;
            std::this_thread::sleep_for(std::exchange(stall_, Clock::duration::zero()));
        }
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        if (waited)
            // The link went on draining what was owed until the socket ran
            // empty; the idle time after that is no credit.
            balance_ = std::min(balance_ + elapsed * bytes_per_second_, 0.0);
        else
            balance_ = std::min(balance_ + elapsed * bytes_per_second_, std::max(double(piece()), kReceiveBuffer));
        balance_ -= double(bytes);
        if (balance_ >= 0.0)
            return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-balance_ / bytes_per_second_));
    }

    // Whether the link has delivered more than a piece beyond what the
    // readers took so far: a reader that was held without a processor has
    // data waiting that it catches up on at once. A count reported before
    // that lags the link by the time the reader was held.
    bool behind() const
    {
        std::lock_guard lock(mutex_);
        const double elapsed = std::chrono::duration<double>(Clock::now() - last_).count();
        return balance_ + elapsed * bytes_per_second_ > double(piece());
    }

private:
    mutable std::mutex mutex_;
    double bytes_per_second_;
    double balance_ = 0.0;
    Clock::time_point last_ = Clock::now();
    Clock::duration stall_;
    bool stall_now_ = false;
};

// A peer that reset its connection took its queued data off the link: what
// already sits in the receive buffer had crossed the link and is read
// without charge.
bool reset_by_peer(tcp::socket& socket)
{
    tcp_info info{};
    socklen_t len = sizeof(info);
    return ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_CLOSE;
}

awaitable<void> wait_for(Clock::duration d)
{
    if (d <= Clock::duration::zero())
        co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(use_tuple);
}

// Stream framing over a plain or TLS stream, with bytes already read
// (while the connection kind was detected) served first. Reads and writes
// are tried at once on the non-blocking socket and only wait through the
// reactor when it would block, so that bulk data does not pay a scheduler
// hop per write or read; under TLS one socket call carries many records.
template <class Stream>
class StreamFramer {
    static constexpr bool kPlain = std::is_same_v<Stream, tcp::socket>;
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;
    static_assert(kPlain || kTls);

public:
    StreamFramer(Stream& stream, std::vector<std::uint8_t> preload) : stream_(stream), buffer_(kReadBytes)
    {
        std::memcpy(buffer_.data(), preload.data(), preload.size());
        end_ = preload.size();
        if constexpr (kPlain) {
            boost::system::error_code ignored;
            stream_.non_blocking(true, ignored);
        }
    }
    static constexpr bool is_websocket = false;
    void close()
    {
        if constexpr (kTls) {
            stream_.close();  // with a close_notify
        } else {
            boost::system::error_code ignored;
            stream_.shutdown(tcp::socket::shutdown_both, ignored);
        }
    }

    awaitable<bool> read_exact(std::uint8_t* out, std::size_t n)
    {
        while (n > 0) {
            if (pos_ == end_ && !co_await refill())
                co_return false;
            const std::size_t take = std::min(n, end_ - pos_);
            std::memcpy(out, buffer_.data() + pos_, take);
            pos_ += take;
            out += take;
            n -= take;
        }
        co_return true;
    }

    awaitable<std::optional<std::string>> read_msg()
    {
        std::array<std::uint8_t, 2> length{};
        if (!co_await read_exact(length.data(), 2))
            co_return std::nullopt;
        std::string body(std::size_t(length[0]) << 8 | length[1], '\0');
        if (!co_await read_exact(reinterpret_cast<std::uint8_t*>(body.data()), body.size()))
            co_return std::nullopt;
        co_return body;
    }

    awaitable<bool> write_msg(const std::string& body)
    {
        const std::array<std::uint8_t, 2> length{std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
        std::array<asio::const_buffer, 2> parts{asio::buffer(length), asio::buffer(body)};
        if constexpr (kTls) {
            co_return !co_await stream_.write(parts);
        } else {
            auto [ec, n] = co_await asio::async_write(stream_, parts, use_tuple);
            co_return !ec;
        }
    }

    awaitable<bool> write_raw(const std::uint8_t* data, std::size_t n)
    {
        if constexpr (kTls) {
            const asio::const_buffer part(data, n);
            co_return !co_await stream_.write(std::span(&part, 1));
        } else {
            while (n > 0) {
                boost::system::error_code ec;
                const std::size_t written = stream_.write_some(asio::buffer(data, n), ec);
                if (would_block(ec))
                    break;
                if (ec || written == 0)
                    co_return false;
                data += written;
                n -= written;
            }
            if (n == 0)
                co_return true;
            auto [ec, written] = co_await asio::async_write(stream_, asio::buffer(data, n), use_tuple);
            co_return !ec;
        }
    }

    // Pre-framed chunks (payload and marker each) go out in one write.
    awaitable<bool> write_chunks(const std::uint8_t* data, std::size_t n, std::size_t /*chunk_size*/)
    {
        return write_raw(data, n);
    }

    // Writes the pre-framed chunks until all are out or `until` has passed.
    // The clock is read after every partial write, and a chunk that was begun
    // is always finished, so the stream never runs more than a chunk past its
    // time. Gives the chunks written, or nothing when the connection failed.
    awaitable<std::optional<std::size_t>> write_chunks_until(const std::uint8_t* data, std::size_t n,
                                                             std::size_t chunk_size, Clock::time_point until)
    {
        std::size_t done = 0;
        std::size_t target = n;
        while (done < target) {
            std::size_t written = 0;
            if constexpr (kPlain) {
                boost::system::error_code ec;
                written = stream_.write_some(asio::buffer(data + done, target - done), ec);
                if (would_block(ec)) {
                    auto [wec] = co_await stream_.async_wait(tcp::socket::wait_write, use_tuple);
                    if (wec)
                        co_return std::nullopt;
                    continue;
                }
                if (ec || written == 0)
                    co_return std::nullopt;
            } else {
                // A ringful of records taken at a time; what the socket did
                // not take yet goes out with the next write.
                auto [ec, n_written] = co_await stream_.write_some(data + done, target - done);
                if (ec || n_written == 0)
                    co_return std::nullopt;
                written = n_written;
            }
            done += written;
            if (target == n && Clock::now() >= until)
                target = std::min(n, (done + chunk_size - 1) / chunk_size * chunk_size);
        }
        co_return done / chunk_size;
    }

    // Reads what is available and walks the chunks in it; stops right after
    // a last-chunk marker, leaving later bytes buffered. Gives the bytes
    // taken, or nothing when the connection ended. A rate limit makes the
    // reads small and paced.
    awaitable<std::optional<std::size_t>> read_chunks(ChunkScan& scan, bool& last, RateLimiter* limit = nullptr)
    {
        last = false;
        bool waited = false;
        if (pos_ == end_) {
            if (!co_await refill(limit && limit->limited() ? limit->piece() : buffer_.size()))
                co_return std::nullopt;
            waited = waited_;
        }
        if (limit && limit->limited() && !reset_by_peer(boost::beast::get_lowest_layer(stream_)))
            co_await wait_for(limit->charge(end_ - pos_, waited));
        const std::size_t start = pos_;
        while (pos_ < end_) {
            const std::size_t need = scan.chunk_size - scan.offset;
            if (end_ - pos_ < need) {
                scan.offset += end_ - pos_;
                pos_ = end_;
                break;
            }
            pos_ += need;
            scan.offset = 0;
            ++scan.chunks;
            if (buffer_[pos_ - 1] == 0xFF) {
                last = true;
                break;
            }
        }
        co_return pos_ - start;
    }

private:
    awaitable<bool> refill(std::size_t most = kReadBytes)
    {
        pos_ = end_ = 0;
        waited_ = false;
        most = std::min(most, buffer_.size());
        if constexpr (kPlain) {
            boost::system::error_code ec;
            const std::size_t n = stream_.read_some(asio::buffer(buffer_.data(), most), ec);
            if (!would_block(ec)) {
                end_ = ec ? 0 : n;
                co_return !ec && n > 0;
            }
        }
        if constexpr (kTls) {
            // Records that have arrived are decrypted straight into the
            // buffer, many per read; the socket is read about as far as the
            // caller wants (a paced reader leaves the rest in the socket).
            boost::system::error_code ec;
            end_ = stream_.read_available(buffer_.data(), most, ec, most);
            if (end_ > 0)
                co_return true;
            if (!would_block(ec))
                co_return false;
            waited_ = true;
            auto [rec, n] = co_await stream_.read_some(buffer_.data(), most, most);
            end_ = rec ? 0 : n;
            co_return end_ > 0;
        } else {
            waited_ = true;
            auto [ec, n] = co_await stream_.async_read_some(asio::buffer(buffer_.data(), most), use_tuple);
            if (ec || n == 0)
                co_return false;
            end_ = n;
            co_return true;
        }
    }

    Stream& stream_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool waited_ = false;  // the last refill found nothing to read at once
};

// Websocket framing: one binary message per envelope and per chunk.
template <class Ws>
class WsFramer {
public:
    explicit WsFramer(Ws& ws) : ws_(ws) { ws_.binary(true); }
    static constexpr bool is_websocket = true;
    void close()
    {
        boost::system::error_code ignored;
        boost::beast::get_lowest_layer(ws_).shutdown(tcp::socket::shutdown_both, ignored);
    }

    awaitable<std::optional<std::string>> read_msg()
    {
        buffer_.clear();
        auto [ec, n] = co_await ws_.async_read(buffer_, use_tuple);
        if (ec)
            co_return std::nullopt;
        const auto data = buffer_.cdata();
        co_return std::string(static_cast<const char*>(data.data()), data.size());
    }
    awaitable<bool> write_msg(const std::string& body)
    {
        auto [ec, n] = co_await ws_.async_write(asio::buffer(body), use_tuple);
        co_return !ec;
    }
    awaitable<bool> write_raw(const std::uint8_t* data, std::size_t n)
    {
        auto [ec, written] = co_await ws_.async_write(asio::buffer(data, n), use_tuple);
        co_return !ec;
    }
    awaitable<bool> write_chunks(const std::uint8_t* data, std::size_t n, std::size_t chunk_size)
    {
        for (std::size_t at = 0; at < n; at += chunk_size)
            if (!co_await write_raw(data + at, chunk_size))
                co_return false;
        co_return true;
    }
    // One message per chunk, the clock read before each.
    awaitable<std::optional<std::size_t>> write_chunks_until(const std::uint8_t* data, std::size_t n,
                                                             std::size_t chunk_size, Clock::time_point until)
    {
        std::size_t chunks = 0;
        for (std::size_t at = 0; at < n && Clock::now() < until; at += chunk_size, ++chunks)
            if (!co_await write_raw(data + at, chunk_size))
                co_return std::nullopt;
        co_return chunks;
    }
    awaitable<std::optional<std::size_t>> read_chunks(ChunkScan& scan, bool& last, RateLimiter* limit = nullptr)
    {
        boost::system::error_code ignored;
        const bool waited = boost::beast::get_lowest_layer(ws_).available(ignored) == 0;
        auto msg = co_await read_msg();
        if (!msg || msg->empty())
            co_return std::nullopt;
        ++scan.chunks;
        last = static_cast<std::uint8_t>(msg->back()) == 0xFF;
        if (limit && limit->limited() && !reset_by_peer(boost::beast::get_lowest_layer(ws_)))
            co_await wait_for(limit->charge(msg->size(), waited));
        co_return msg->size();
    }
    // One ping is one message.
    awaitable<std::optional<std::string>> read_ping(std::size_t) { return read_msg(); }

private:
    Ws& ws_;
    boost::beast::flat_buffer buffer_;
};

std::string uuid_text(const std::string& bytes)
{
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        const auto b = static_cast<unsigned char>(bytes[i]);
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool token_valid(const sprintproto::MeasurementInitRequest& init, const std::string& key)
{
    if (init.uuid().size() != 16)
        return false;
    const std::string message = uuid_text(init.uuid()) + "_" + std::to_string(init.timestamp_s());
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    HMAC(EVP_sha3_256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(message.data()), message.size(),
         mac, &mac_len);
    return init.hmac().size() == mac_len && std::memcmp(init.hmac().data(), mac, mac_len) == 0;
}

sprintproto::Msg generic(int status, const std::string& description)
{
    sprintproto::Msg msg;
    msg.mutable_generic_response()->set_status_code(static_cast<sprintproto::ResponseStatus>(status));
    msg.mutable_generic_response()->set_description(description);
    return msg;
}

} // namespace

struct SpeedServer::Impl {
    explicit Impl(Options o)
        : options(std::move(o)), accept_strand(asio::make_strand(io)), udp_strand(asio::make_strand(io)),
          acceptor(accept_strand), udp_socket(udp_strand), tls(ssl::context::tls_server), uplink_limit(options.uplink_rate_bps, options.uplink_reader_stall)
    {
    }

    Options options;
    asio::io_context io;
    // The acceptor and the UDP socket are used, and closed, only on their own strands.
    asio::strand<asio::io_context::executor_type> accept_strand;
    asio::strand<asio::io_context::executor_type> udp_strand;
    tcp::acceptor acceptor;
    udp::socket udp_socket;
    ssl::context tls;
    lumivex::test_peers::TestCertificate certificate;
    std::vector<std::thread> threads;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::uint8_t> block;       // whole chunks, markers 0x00
    std::vector<std::uint8_t> last_chunk;  // one chunk, marker 0xFF
    mutable std::mutex stats_mutex;
    Stats stats;
    std::once_flag blocks_made;
    RateLimiter uplink_limit;
    std::uint16_t tcp_port = 0;
    std::uint16_t udp_port = 0;

    void make_blocks()
    {
        std::call_once(blocks_made, [this] {
            const std::size_t chunk = options.chunk_size;
            const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / chunk);
            block.assign(per_block * chunk, 0x5A);
            for (std::size_t i = 0; i < per_block; ++i)
                block[(i + 1) * chunk - 1] = 0x00;
            last_chunk.assign(chunk, 0x5A);
            last_chunk.back() = options.omit_last_marker ? 0x00 : 0xFF;
        });
    }

    template <class F>
    void count(F&& f)
    {
        std::lock_guard lock(stats_mutex);
        f(stats);
    }

    awaitable<void> accept_loop();
    awaitable<void> udp_loop();
    awaitable<void> session(tcp::socket socket);
    template <class Stream>
    awaitable<void> framed(Stream& stream, tcp::endpoint remote, tcp::endpoint local);
    template <class Framer>
    awaitable<void> serve(Framer& framer, tcp::endpoint remote, tcp::endpoint local, bool& cut);

    template <class Framer>
    awaitable<bool> reply(Framer& framer, const sprintproto::Msg& msg, bool& cut);
    template <class Framer>
    awaitable<bool> send_downlink(Framer& framer, std::uint64_t count, std::optional<Clock::duration> for_time, bool& cut);
    template <class Framer>
    awaitable<bool> receive_uplink(Framer& framer, std::optional<std::uint32_t> notify_ms, std::uint64_t& bytes);
    template <class Framer>
    awaitable<bool> echo_pings(Framer& framer, std::uint32_t payload_size);

    awaitable<void> pause(std::chrono::milliseconds d) { return wait_for(d); }
};

awaitable<void> SpeedServer::Impl::accept_loop()
{
    for (;;) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::make_strand(io), use_tuple);
        if (ec) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open())
                co_return;
            continue;
        }
        count([](Stats& s) { ++s.connections; });
        asio::co_spawn(socket.get_executor(), session(std::move(socket)), asio::detached);
    }
}

awaitable<void> SpeedServer::Impl::session(tcp::socket socket)
{
    boost::system::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    const auto local = socket.local_endpoint(ec);
    // Small replies and pongs go out at once rather than after the
    // delayed-acknowledgement wait.
    socket.set_option(tcp::no_delay(true), ec);
    if (options.silent) {
        // Take whatever comes and never answer, until the client goes.
        std::vector<std::uint8_t> sink(4096);
        for (;;) {
            auto [rec, n] = co_await socket.async_read_some(asio::buffer(sink), use_tuple);
            if (rec)
                co_return;
        }
    }
    std::uint8_t first = 0;
    auto [pec, peeked] = co_await socket.async_receive(asio::buffer(&first, 1), tcp::socket::message_peek, use_tuple);
    if (pec || peeked == 0)
        co_return;
    if (first == 0x16 && options.tls_enabled) {
        TlsStream stream(std::move(socket), tls.native_handle());
        if (co_await stream.handshake())
            co_return;
        co_await framed(stream, remote, local);
        co_return;
    }
    co_await framed(socket, remote, local);
}

template <class Stream>
awaitable<void> SpeedServer::Impl::framed(Stream& stream, tcp::endpoint remote, tcp::endpoint local)
{
    // A websocket starts with its upgrade request; the stream framing with
    // the length of the initialisation request.
    std::vector<std::uint8_t> head(4);
    auto [ec, n] = co_await asio::async_read(stream, asio::buffer(head), use_tuple);
    if (ec)
        co_return;
    bool cut = options.cut_off != CutOff::None;
    if (std::memcmp(head.data(), "GET ", 4) == 0) {
        websocket::stream<Stream&> ws(stream);
        auto [aec] = co_await ws.async_accept(asio::buffer(head), use_tuple);
        if (aec)
            co_return;
        WsFramer<websocket::stream<Stream&>> framer(ws);
        co_await serve(framer, remote, local, cut);
        if constexpr (std::is_same_v<Stream, TlsStream>)
            stream.send_close_notify();
        co_return;
    }
    StreamFramer<Stream> framer(stream, std::move(head));
    co_await serve(framer, remote, local, cut);
    framer.close();
}

template <class Framer>
awaitable<bool> SpeedServer::Impl::reply(Framer& framer, const sprintproto::Msg& msg, bool& cut)
{
    const std::string body = msg.SerializeAsString();
    if constexpr (!Framer::is_websocket) {
        if (cut && (options.cut_off == CutOff::InLengthField || options.cut_off == CutOff::InBody)) {
            cut = false;
            std::vector<std::uint8_t> partial{std::uint8_t(body.size() >> 8)};
            if (options.cut_off == CutOff::InBody) {
                partial.push_back(std::uint8_t(body.size()));
                partial.insert(partial.end(), body.begin(), body.begin() + long(body.size() / 2));
            }
            co_await framer.write_raw(partial.data(), partial.size());
            co_return false;
        }
    }
    co_return co_await framer.write_msg(body);
}

template <class Framer>
awaitable<bool> SpeedServer::Impl::send_downlink(Framer& framer, std::uint64_t chunks, std::optional<Clock::duration> for_time,
                                                 bool& cut)
{
    if (options.chunk_size == 0)
        co_return false;  // nothing can be framed; the client refuses such a server anyway
    make_blocks();
    const std::size_t chunk = options.chunk_size;
    const std::size_t per_block = block.size() / chunk;
    const auto start = Clock::now();
    std::uint64_t sent = 0;
    auto account = [this, chunk](std::uint64_t n) { this->count([&](Stats& s) { s.downlink_bytes += n * chunk; }); };

    if constexpr (!Framer::is_websocket) {
        if (cut && (options.cut_off == CutOff::InChunkPayload || options.cut_off == CutOff::BeforeMarker)) {
            cut = false;
            const std::size_t part = options.cut_off == CutOff::BeforeMarker ? chunk - 1 : (chunk - 1) / 2;
            co_await framer.write_raw(block.data(), part);
            co_return false;
        }
        if (options.trickle_bytes > 0) {
            // Every chunk in small pieces with pauses between them.
            for (std::uint64_t i = 0; for_time ? Clock::now() - start < *for_time : i < chunks; ++i) {
                const bool is_last = for_time ? false : i + 1 == chunks;
                const std::uint8_t* data = is_last ? last_chunk.data() : block.data();
                for (std::size_t at = 0; at < chunk; at += options.trickle_bytes) {
                    if (!co_await framer.write_raw(data + at, std::min(options.trickle_bytes, chunk - at)))
                        co_return false;
                    co_await pause(options.trickle_pause);
                }
                account(1);
            }
            if (for_time && !co_await framer.write_raw(last_chunk.data(), chunk))
                co_return false;
            co_return true;
        }
    }
    if (for_time) {
        // Without the last marker the stream goes on until the client leaves
        // (bounded, so that the server never streams forever).
        const auto until = start + (options.omit_last_marker ? *for_time + std::chrono::seconds(15) : *for_time);
        while (Clock::now() < until) {
            auto written = co_await framer.write_chunks_until(block.data(), per_block * chunk, chunk, until);
            if (!written)
                co_return false;
            account(*written);
        }
        account(1);
        co_return co_await framer.write_chunks(last_chunk.data(), chunk, chunk);
    }
    while (sent + 1 < chunks) {
        const std::uint64_t n = std::min<std::uint64_t>(per_block, chunks - 1 - sent);
        if (!co_await framer.write_chunks(block.data(), n * chunk, chunk))
            co_return false;
        sent += n;
        account(n);
    }
    if (chunks > 0) {
        account(1);
        co_return co_await framer.write_chunks(last_chunk.data(), chunk, chunk);
    }
    co_return true;
}

template <class Framer>
awaitable<bool> SpeedServer::Impl::receive_uplink(Framer& framer, std::optional<std::uint32_t> notify_ms, std::uint64_t& bytes)
{
    if (options.stall_uplink) {
        // Never read again; the client's writes fill the socket buffers.
        co_await pause(std::chrono::seconds(30));
        co_return false;
    }
    ChunkScan scan;
    scan.chunk_size = std::max<std::uint32_t>(options.chunk_size, 1);
    const auto start = Clock::now();
    auto last_notice = start;
    std::optional<Clock::time_point> deferred_since;
    bool unused_cut = false;
    for (;;) {
        bool last = false;
        auto got = co_await framer.read_chunks(scan, last, &uplink_limit);
        if (!got)
            co_return false;
        bytes += *got;
        count([&](Stats& s) { s.uplink_bytes += *got; });
        if (!notify_ms) {
            if (last)
                co_return true;
            continue;
        }
        const auto now = Clock::now();
        if (options.uplink_reader_stall.count() > 0 && now - start >= std::chrono::milliseconds(1200))
            uplink_limit.stall_next();
        const bool due = now - last_notice >= std::chrono::milliseconds(*notify_ms);
        // A due notification waits while the reader catches up after being
        // held, so that its count is what the link delivered by its time;
        // for at most one notification interval, should the reads never
        // catch up.
        if (due && !last && uplink_limit.limited() && uplink_limit.behind()) {
            if (!deferred_since)
                deferred_since = now;
            if (now - *deferred_since < std::chrono::milliseconds(*notify_ms))
                continue;
        }
        if (last || due) {
            deferred_since.reset();
            sprintproto::Msg msg;
            auto* note = msg.mutable_uplink_test_progress_notification();
            note->set_duration_ns(std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count()));
            note->set_bytes(bytes);
            note->set_completed(last && !options.skip_completed_notification);
            if (!co_await reply(framer, msg, unused_cut))
                co_return false;
            last_notice = now;
        }
        if (last)
            co_return true;
    }
}

template <class Framer>
awaitable<bool> SpeedServer::Impl::echo_pings(Framer& framer, std::uint32_t payload_size)
{
    if (payload_size == 0)
        co_return false;  // nothing could ever end the echo
    std::vector<std::uint8_t> ping(payload_size);
    for (;;) {
        if constexpr (Framer::is_websocket) {
            auto msg = co_await framer.read_msg();
            if (!msg)
                co_return false;
            ping.assign(msg->begin(), msg->end());
        } else {
            if (!co_await framer.read_exact(ping.data(), ping.size()))
                co_return false;
        }
        if (!co_await framer.write_raw(ping.data(), ping.size()))
            co_return false;
        if (!ping.empty() && ping.back() == 0xFF)
            co_return true;
    }
}

template <class Framer>
awaitable<void> SpeedServer::Impl::serve(Framer& framer, tcp::endpoint remote, tcp::endpoint local, bool& cut)
{
    auto body = co_await framer.read_msg();
    if (!body)
        co_return;
    sprintproto::Msg msg;
    if (!msg.ParseFromString(*body))
        co_return;
    count([](Stats& s) { ++s.init_requests; });
    if (options.silent_init) {
        while (co_await framer.read_msg()) {
        }
        co_return;
    }
    co_await pause(options.init_reply_delay);
    bool no_cut = false;
    if (!msg.has_measurement_init_request()) {
        co_await reply(framer, generic(sprintproto::UnknownMessage, "expected a measurement initialisation"), no_cut);
        co_return;
    }
    if (auto it = options.error_replies.find(3); it != options.error_replies.end()) {
        co_await reply(framer, generic(it->second.status_code, it->second.description), no_cut);
        co_return;
    }
    if (options.secret_key && !token_valid(msg.measurement_init_request(), *options.secret_key)) {
        count([](Stats& s) { ++s.tokens_rejected; });
        co_await reply(framer, generic(sprintproto::InvalidToken, options.invalid_token_description), no_cut);
        co_return;
    }
    sprintproto::Msg init;
    auto* response = init.mutable_measurement_init_response();
    response->set_chunksize(options.chunk_size);
    response->set_max_rtt_payload_bytes(options.max_rtt_payload_bytes);
    if (options.send_connection_info) {
        auto* info = response->mutable_connection_info();
        info->set_remote_ip(remote.address().to_string());
        info->set_remote_port(remote.port());
        info->set_server_ip(local.address().to_string());
        info->set_server_port(local.port());
    }
    if (!co_await reply(framer, init, no_cut))
        co_return;

    std::uint32_t answered = 0;
    for (;;) {
        if (options.close_after_requests > 0 && answered >= options.close_after_requests)
            co_return;  // the caller closes the connection
        ++answered;
        std::optional<asio::steady_timer> idle;
        if (options.idle_close.count() > 0) {
            idle.emplace(co_await asio::this_coro::executor, options.idle_close);
            idle->async_wait([&framer](boost::system::error_code ec) {
                if (!ec)
                    framer.close();  // the wait below then ends
            });
        }
        body = co_await framer.read_msg();
        idle.reset();
        if (!body || !msg.ParseFromString(*body))
            co_return;
        const int field = msg.submsg_case();
        const auto* descriptor = msg.GetDescriptor()->FindFieldByNumber(field);
        count([&](Stats& s) { s.requests.push_back(descriptor ? descriptor->message_type()->name() : "none"); });
        co_await pause(options.reply_delay);
        if (auto it = options.error_replies.find(field); it != options.error_replies.end()) {
            if (!co_await reply(framer, generic(it->second.status_code, it->second.description), cut))
                co_return;
            continue;
        }
        const auto ok = generic(sprintproto::Ok, "");
        bool alive = true;
        std::uint64_t bytes = 0;
        switch (msg.submsg_case()) {
        case sprintproto::Msg::kDownlinkPretestRequest:
            if (msg.downlink_pretest_request().count() == 0) {
                alive = co_await reply(framer, generic(sprintproto::Error, "chunk count must be at least 1"), cut);
                break;
            }
            alive = co_await reply(framer, ok, cut) &&
                    co_await send_downlink(framer, msg.downlink_pretest_request().count(), std::nullopt, cut);
            break;
        case sprintproto::Msg::kDownlinkTestRequest:
            alive = co_await reply(framer, ok, cut) &&
                    co_await send_downlink(framer, 0, std::chrono::seconds(msg.downlink_test_request().seconds()), cut);
            break;
        case sprintproto::Msg::kUplinkPretestRequest:
            alive = co_await reply(framer, ok, cut) && co_await receive_uplink(framer, std::nullopt, bytes) &&
                    co_await reply(framer, ok, cut);
            break;
        case sprintproto::Msg::kUplinkTestRequest:
            alive = co_await reply(framer, ok, cut) &&
                    co_await receive_uplink(framer, msg.uplink_test_request().progress_update_ms(), bytes);
            break;
        case sprintproto::Msg::kRttTcpRequest:
            if (msg.rtt_tcp_request().payload_size() == 0) {
                // An empty ping has no marker to end the echo with.
                alive = co_await reply(framer, generic(sprintproto::Error, "payload size must be at least 1"), cut);
                break;
            }
            alive = co_await reply(framer, ok, cut) && co_await echo_pings(framer, msg.rtt_tcp_request().payload_size());
            break;
        case sprintproto::Msg::kServerLoadRequest: {
            sprintproto::Msg load;
            load.mutable_server_load_response()->set_stdout_vmstat("procs -----------memory----------\n r  b   swpd   free\n 0  0      0 123456\n");
            load.mutable_server_load_response()->set_stdout_free("              total        used        free\nMem:       16000000     4000000    12000000\n");
            alive = co_await reply(framer, load, cut);
            break;
        }
        case sprintproto::Msg::kServerTracerouteRequest: {
            sprintproto::Msg trace;
            trace.mutable_server_traceroute_response()->set_stdout("traceroute to " + remote.address().to_string() +
                                                                    "\n 1  " + remote.address().to_string() + "  0.050 ms\n");
            alive = co_await reply(framer, trace, cut);
            break;
        }
        case sprintproto::Msg::kQuitRequest:
            co_await reply(framer, ok, cut);
            co_return;
        default:
            alive = co_await reply(framer, generic(sprintproto::UnknownMessage, "unknown message"), cut);
        }
        if (!alive)
            co_return;
        if (options.close_after_tests && (msg.submsg_case() == sprintproto::Msg::kDownlinkTestRequest ||
                                          msg.submsg_case() == sprintproto::Msg::kUplinkTestRequest ||
                                          msg.submsg_case() == sprintproto::Msg::kRttTcpRequest)) {
            co_await pause(options.close_delay);
            co_return;  // the caller closes the connection
        }
    }
}

awaitable<void> SpeedServer::Impl::udp_loop()
{
    std::array<char, 512> datagram{};
    std::optional<std::pair<std::string, udp::endpoint>> held;  // for reordering
    std::uint64_t seen = 0;
    for (;;) {
        udp::endpoint from;
        auto [ec, n] = co_await udp_socket.async_receive_from(asio::buffer(datagram), from, use_tuple);
        if (ec) {
            if (!udp_socket.is_open())
                co_return;
            continue;
        }
        sprintproto::Msg msg;
        if (!msg.ParseFromArray(datagram.data(), int(n)) || !msg.has_rtt_udp_request())
            continue;
        ++seen;
        count([](Stats& s) { ++s.udp_requests; });
        const std::uint32_t id = msg.rtt_udp_request().identifier();
        if (options.udp_drop_ids.count(id) || (options.udp_drop_every > 0 && seen % options.udp_drop_every == 0))
            continue;
        sprintproto::Msg answer;
        answer.mutable_rtt_udp_response()->set_identifier(id);
        const std::string bytes = answer.SerializeAsString();
        auto send = [&](const std::string& b, const udp::endpoint& to) -> awaitable<void> {
            co_await udp_socket.async_send_to(asio::buffer(b), to, use_tuple);
            if (options.udp_duplicate)
                co_await udp_socket.async_send_to(asio::buffer(b), to, use_tuple);
        };
        if (options.udp_reorder && id % 2 == 0 && !held) {
            held.emplace(bytes, from);
            continue;
        }
        co_await send(bytes, from);
        if (held) {
            co_await send(held->first, held->second);
            held.reset();
        }
    }
}

SpeedServer::SpeedServer(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

SpeedServer::~SpeedServer() { stop(); }

void SpeedServer::start()
{
    auto& s = *impl_;
    s.certificate = lumivex::test_peers::sharedTestCertificate();
    s.tls.use_certificate_chain(asio::buffer(s.certificate.certificatePem));
    s.tls.use_private_key(asio::buffer(s.certificate.privateKeyPem), ssl::context::pem);


    const auto address = asio::ip::make_address(s.options.bind_address);
    s.acceptor.open(address.is_v6() ? tcp::v6() : tcp::v4());
    s.acceptor.set_option(tcp::acceptor::reuse_address(true));
    if (s.options.uplink_rate_bps > 0) {
        // A shaped link carries segments of an Ethernet MSS, not loopback's
        // 64 KiB: window updates then come as the reader takes the data, not
        // in bursts of seconds.
        boost::system::error_code ignored;
        s.acceptor.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_MAXSEG>(1448), ignored);
    }
    s.acceptor.bind(tcp::endpoint(address, 0));
    s.acceptor.listen();
    s.udp_socket.open(address.is_v6() ? udp::v6() : udp::v4());
    s.udp_socket.bind(udp::endpoint(address, 0));

    s.tcp_port = s.acceptor.local_endpoint().port();
    s.udp_port = s.udp_socket.local_endpoint().port();

    s.work.emplace(s.io.get_executor());
    asio::co_spawn(s.accept_strand, s.accept_loop(), asio::detached);
    asio::co_spawn(s.udp_strand, s.udp_loop(), asio::detached);
    for (int i = 0; i < std::max(1, s.options.threads); ++i)
        s.threads.emplace_back([&s] { s.io.run(); });
}

void SpeedServer::stop()
{
    auto& s = *impl_;
    if (s.threads.empty())
        return;
    // Each socket is closed on the strand of the loop that uses it; the loops
    // then end, and the context is stopped once both closes have run.
    std::promise<void> acceptor_closed;
    std::promise<void> udp_closed;
    asio::post(s.accept_strand, [&s, &acceptor_closed] {
        boost::system::error_code ignored;
        s.acceptor.close(ignored);
        acceptor_closed.set_value();
    });
    asio::post(s.udp_strand, [&s, &udp_closed] {
        boost::system::error_code ignored;
        s.udp_socket.close(ignored);
        udp_closed.set_value();
    });
    acceptor_closed.get_future().wait();
    udp_closed.get_future().wait();
    s.work.reset();
    s.io.stop();
    for (auto& t : s.threads)
        t.join();
    s.threads.clear();
}

std::uint16_t SpeedServer::tcp_port() const { return impl_->tcp_port; }
std::uint16_t SpeedServer::udp_port() const { return impl_->udp_port; }

Stats SpeedServer::stats() const
{
    std::lock_guard lock(impl_->stats_mutex);
    return impl_->stats;
}

const std::string& SpeedServer::certificate_pem() const { return impl_->certificate.certificatePem; }

} // namespace speed_server

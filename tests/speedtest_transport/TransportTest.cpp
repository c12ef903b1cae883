// Runner connections, protocol connection and transport against the real
// test measurement server over loopback.

#include "ClientLog.h"
#include "../speedtest_support/CollectingLog.h"
#include "AsyncTask.h"
#include "MeasurementController.h"
#include "Runtime.h"
#include "RunnerConnect.h"
#include "SpeedServer.h"
#include "common/TestCertificate.h"
#include "lib/AsyncLock.h"
#include "lib/MessageTransport.h"
#include "lib/SocketOps.h"
#include "lib/StreamTypes.h"
#include "lib/TlsSession.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vela_client;
using namespace vela_client::sprintproto;
namespace asio = boost::asio;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSecret = "test-secret";

using speedtest_support::CollectingLog;
using speedtest_support::test_log;

struct Connection {
    std::variant<Runner, std::string> outcome;
    bool ok() const { return std::holds_alternative<Runner>(outcome); }
    const std::string& error() const { return std::get<std::string>(outcome); }
    Runner& runner() { return std::get<Runner>(outcome); }
};

class TransportTest : public ::testing::Test {
protected:
    TransportTest() { test_log(); }

    speed_server::SpeedServer& serve(speed_server::Options options = {})
    {
        if (!options.secret_key)
            options.secret_key = kSecret;
        servers_.push_back(std::make_unique<speed_server::SpeedServer>(options));
        servers_.back()->start();
        return *servers_.back();
    }

    static RunnerConnectParams params(std::uint16_t port, bool tls = false, bool websocket = false, bool skip = true)
    {
        RunnerConnectParams p;
        p.host = "localhost";
        p.server_address = Endpoint(asio::ip::make_address("127.0.0.1"), port);
        p.tls = tls;
        p.skip_certificate_validation = skip;
        if (websocket)
            p.websocket_url = "ws://127.0.0.1:" + std::to_string(port);
        return p;
    }

    Connection connect(const RunnerConnectParams& p, ConnectLimits limits = {}, std::uint32_t multiplier = 8,
                       SharedRandomBufferRef buffer = nullptr, const char* secret = kSecret)
    {
        auto token = build_token(secret);
        EXPECT_TRUE(token.has_value());
        if (!buffer)
            buffer = make_shared_random_buffer();
        AbortContext abort(make_stop_flag(), std::nullopt);
        return {runtime_.block_on(runner_connect(0, *token, Duration::from_millis(200), abort, p, nullptr, nullptr, buffer,
                                                 multiplier, limits))};
    }

    template <class T>
    T run(asio::awaitable<T> task)
    {
        return runtime_.block_on(std::move(task));
    }

    std::vector<std::unique_ptr<speed_server::SpeedServer>> servers_;
    Runtime runtime_{4};
};

asio::awaitable<Expected<Msg, std::string>> request(ProtocolConnection& c, Msg msg, Timeout t = 5s)
{
    co_return co_await c.request(msg, t);
}

bool is_ok(const Expected<Msg, std::string>& reply)
{
    return reply && reply->get<GenericResponse>() && reply->get<GenericResponse>()->is_ok();
}

// Downlink pretest of `count` chunks: gives the chunks read and whether only
// the last one was marked.
asio::awaitable<std::pair<int, bool>> downlink_round(ProtocolConnection& c, std::uint32_t count)
{
    auto reply = co_await c.request(Msg(DownlinkPretestRequest{count}), 5s);
    if (!is_ok(reply))
        co_return std::pair{-1, false};
    int chunks = 0;
    bool marks_right = true;
    for (;;) {
        auto last = co_await c.recv_data_chunk(5s);
        if (!last)
            co_return std::pair{-2, false};
        ++chunks;
        if (*last)
            break;
    }
    marks_right = chunks == int(count);
    co_return std::pair{chunks, marks_right};
}

// Uplink pretest of `count` chunks cut from the shared buffer.
asio::awaitable<bool> uplink_round(ProtocolConnection& c, std::uint32_t count)
{
    if (!is_ok(co_await c.request(Msg(UplinkPretestRequest{count}), 5s)))
        co_return false;
    auto guard = co_await c.random_buffer->lock.lock_shared();
    const std::size_t payload = c.chunk_size - 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::span<const std::uint8_t> slice(c.random_buffer->bytes.data(), payload);
        if (co_await c.write_random_data(slice, i + 1 == count, 5s))
            co_return false;
    }
    co_return is_ok(co_await c.read_proto_msg(5s));
}

} // namespace

// Every connection kind comes up, the server accepts the token, both sides
// agree on the endpoints, and envelopes and chunks move both ways.
TEST_F(TransportTest, ConnectionKindsCarryInitAndChunks)
{
    auto& server = serve({.chunk_size = 4096});
    struct Kind {
        bool tls, websocket;
    };
    for (const Kind kind : {Kind{false, false}, Kind{true, false}, Kind{false, true}, Kind{true, true}}) {
        SCOPED_TRACE(std::string(kind.tls ? "tls" : "tcp") + (kind.websocket ? "+ws" : ""));
        auto c = connect(params(server.tcp_port(), kind.tls, kind.websocket));
        ASSERT_TRUE(c.ok()) << c.error();
        auto& runner = c.runner();
        ASSERT_TRUE(runner.connection_stream_info);
        const auto& info = *runner.connection_stream_info;
        ASSERT_TRUE(info.client && info.server);
        EXPECT_EQ(info.client->local_ip, "127.0.0.1");
        EXPECT_EQ(info.client->remote_port, server.tcp_port());
        EXPECT_EQ(info.client->local_ip, info.server->remote_ip);
        EXPECT_EQ(info.client->local_port, info.server->remote_port);
        EXPECT_EQ(info.client->remote_ip, info.server->local_ip);
        EXPECT_EQ(info.client->remote_port, info.server->local_port);
        auto& conn = *runner.connection;
        EXPECT_EQ(conn.chunk_size, 4096u);
        EXPECT_EQ(conn.chunk_buffer.size(), 4095u);
        EXPECT_EQ(conn.random_buffer->bytes.size(), 8u * 4096u);

        auto [chunks, marked] = run(downlink_round(conn, 300));
        EXPECT_EQ(chunks, 300);
        EXPECT_TRUE(marked);
        EXPECT_TRUE(run(uplink_round(conn, 5)));
        auto load = run(request(conn, Msg(ServerLoadRequest{})));
        ASSERT_TRUE(load) << load.error();
        EXPECT_TRUE(load->holds<ServerLoadResponse>());
    }
    EXPECT_EQ(server.stats().tokens_rejected, 0u);
    EXPECT_EQ(server.stats().init_requests, 4u);
}

TEST_F(TransportTest, TokenWithAnotherKeyGetsTheServersDescription)
{
    auto& server = serve({.invalid_token_description = "token check failed"});
    auto c = connect(params(server.tcp_port()), {}, 8, nullptr, "another key");
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error(), "token check failed");
    EXPECT_EQ(server.stats().tokens_rejected, 1u);
}

TEST_F(TransportTest, SetUpFailuresGiveTheirTexts)
{
    // A port nobody listens on: the operating system's text, no prefix.
    std::uint16_t closed_port;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        closed_port = probe.local_endpoint().port();
    }
    auto refused = connect(params(closed_port));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "Connection refused");

    ConnectLimits quick;
    quick.tls_handshake = 300ms;
    quick.init_request = 300ms;
    auto& silent = serve({.silent = true});
    auto tls_silent = connect(params(silent.tcp_port(), true), quick);
    ASSERT_FALSE(tls_silent.ok());
    EXPECT_EQ(tls_silent.error(), "timeout while connecting to server: deadline has elapsed");

    auto& silent_init = serve({.silent_init = true});
    auto init_silent = connect(params(silent_init.tcp_port()), quick);
    ASSERT_FALSE(init_silent.ok());
    EXPECT_EQ(init_silent.error(), "protobuf communication timed out");

    // The self-signed certificate is refused when validation is on.
    auto& server = serve();
    auto validated = connect(params(server.tcp_port(), true, false, false));
    ASSERT_FALSE(validated.ok());
    EXPECT_EQ(validated.error().rfind("failed to establish TLS session: ", 0), 0u) << validated.error();

    auto zero = connect(params(server.tcp_port()), {}, 0);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error(), "buffer multiplier can not be zero");

    // A server that does not speak websocket.
    asio::io_context io;
    asio::ip::tcp::acceptor http(io, {asio::ip::make_address("127.0.0.1"), 0});
    std::thread answer([&] {
        auto s = http.accept();
        char buf[1024];
        s.read_some(asio::buffer(buf));
        asio::write(s, asio::buffer(std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")));
    });
    auto ws = connect(params(http.local_endpoint().port(), false, true));
    answer.join();
    ASSERT_FALSE(ws.ok());
    EXPECT_EQ(ws.error(), "failed to establish WebSocket connection");
}

// A listener on `address` whose accept queue is full: the kernel drops
// further connection requests, so a connect to it waits until the caller
// gives up.
class FullListener {
public:
    explicit FullListener(const asio::ip::address& address)
    {
        const bool v6 = address.is_v6();
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
            a->sin6_family = AF_INET6;
            const auto bytes = address.to_v6().to_bytes();
            std::memcpy(&a->sin6_addr, bytes.data(), bytes.size());
            length = sizeof(sockaddr_in6);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&storage);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(address.to_v4().to_uint());
            length = sizeof(sockaddr_in);
        }
        listener_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
            ::listen(listener_, 0) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
            return;
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
        // Connections that are never accepted fill the queue.
        for (int i = 0; i < 2; ++i) {
            const int filler = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers_.push_back(filler);
            (void)::connect(filler, reinterpret_cast<sockaddr*>(&storage), length);
        }
        std::this_thread::sleep_for(50ms);  // the first filler's handshake completes
    }
    ~FullListener()
    {
        for (const int fd : fillers_)
            if (fd >= 0)
                ::close(fd);
        if (listener_ >= 0)
            ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
};

TEST_F(TransportTest, ConnectTimeOutNamesTheAddressInBracketsForIpv6)
{
    struct Case {
        const char* address;
        const char* shown;
    };
    for (const Case c : {Case{"127.0.0.1", "127.0.0.1:"}, Case{"::1", "[::1]:"}}) {
        SCOPED_TRACE(c.address);
        const auto address = asio::ip::make_address(c.address);
        FullListener full(address);
        if (full.port() == 0) {
            ASSERT_TRUE(address.is_v6()) << "no IPv4 loopback listener";
            GTEST_SKIP() << "no IPv6 loopback here";
        }
        const std::string shown = c.shown + std::to_string(full.port());

        auto p = params(full.port());
        p.server_address = Endpoint(address, full.port());
        ConnectLimits quick;
        quick.tcp_connect = 300ms;
        const auto started = std::chrono::steady_clock::now();
        auto timed_out = connect(p, quick);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
        ASSERT_FALSE(timed_out.ok());
        EXPECT_EQ(timed_out.error(), "timeout while connecting to " + shown);

        // The address probe names it the same way in its warning, and goes on.
        test_log().clear();
        auto probed = run(probe_server_address({p.server_address}, false, false, "abcdef0", 300ms));
        ASSERT_FALSE(probed);
        EXPECT_EQ(probed.error(), "failed to connect to server");
        EXPECT_EQ(test_log().count_at(LogLevel::Warn, "[abcdef0] timeout while connecting to " + shown + ": deadline has elapsed"), 1);
    }
}

TEST_F(TransportTest, TcpNoDelayThatCannotBeSetIsLogged)
{
    auto& server = serve();
    auto c = connect(params(server.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& connection = *c.runner().connection;

    // On the open connection the option is set without a word.
    test_log().clear();
    connection.set_tcp_nodelay(true);
    int on = 0;
    socklen_t size = sizeof(on);
    ASSERT_EQ(::getsockopt(connection.transport.socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
    EXPECT_EQ(on, 1);
    connection.set_tcp_nodelay(false);
    ASSERT_EQ(::getsockopt(connection.transport.socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(test_log().count("TCP_NODELAY"), 0);

    // Once its handle is closed the call fails, and says why.
    connection.transport.socket.close();
    connection.set_tcp_nodelay(true);
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "failed to set TCP_NODELAY: Bad file descriptor"), 1)
        << ::testing::PrintToString(test_log().containing("TCP_NODELAY"));
}

TEST_F(TransportTest, SharedBufferIsFilledOnceForFourConnections)
{
    auto& server = serve({.chunk_size = 4096});
    const int before = test_log().count("] initializing shared buffer with random data");
    auto buffer = make_shared_random_buffer();
    auto token = build_token(kSecret);
    ASSERT_TRUE(token);
    log_id(*token);
    AbortContext abort(make_stop_flag(), std::nullopt);
    const auto p = params(server.tcp_port());
    auto outcomes = run([&]() -> asio::awaitable<std::vector<std::variant<Runner, std::string>>> {
        using namespace asio::experimental::awaitable_operators;
        auto one = [&](std::uint8_t n) { return runner_connect(n, *token, Duration::from_millis(200), abort, p, nullptr, nullptr, buffer, 8); };
        auto [a, b, c, d] = co_await (one(0) && one(1) && one(2) && one(3));
        std::vector<std::variant<Runner, std::string>> all;
        all.push_back(std::move(a));
        all.push_back(std::move(b));
        all.push_back(std::move(c));
        all.push_back(std::move(d));
        co_return all;
    }());
    for (auto& o : outcomes) {
        ASSERT_TRUE(std::holds_alternative<Runner>(o)) << std::get<std::string>(o);
        EXPECT_EQ(std::get<Runner>(o).connection->chunk_buffer.size(), 4095u);
    }
    EXPECT_EQ(buffer->bytes.size(), 32768u);
    EXPECT_EQ(test_log().count("] initializing shared buffer with random data") - before, 1);
}

TEST_F(TransportTest, ChunkSizeLimits)
{
    struct Case {
        std::uint32_t chunk_size;
        std::uint32_t multiplier;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {8 * 1024 * 1024, 4, nullptr},  // exactly 32 MiB
        {8 * 1024 * 1024 + 1, 4, "allocation would exceed maximum allowed buffer size, aborting"},
        {1u << 30, 5, "allocation would exceed maximum allowed buffer size, aborting"},  // product above 2^32
        {0, 8, "server announced a chunk size of 0 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.chunk_size) + " x " + std::to_string(c.multiplier));
        auto& server = serve({.chunk_size = c.chunk_size});
        auto buffer = make_shared_random_buffer();
        auto outcome = connect(params(server.tcp_port()), {}, c.multiplier, buffer);
        if (c.error) {
            ASSERT_FALSE(outcome.ok());
            EXPECT_EQ(outcome.error(), c.error);
            EXPECT_TRUE(buffer->bytes.empty());
        } else {
            ASSERT_TRUE(outcome.ok()) << outcome.error();
            EXPECT_EQ(buffer->bytes.size(), std::uint64_t(c.chunk_size) * c.multiplier);
        }
        servers_.clear();
    }

    // A later connection whose chunks would not fit in the filled buffer.
    auto& small = serve({.chunk_size = 1024});
    auto& large = serve({.chunk_size = 4096});
    auto buffer = make_shared_random_buffer();
    ASSERT_TRUE(connect(params(small.tcp_port()), {}, 2, buffer).ok());
    auto refused = connect(params(large.tcp_port()), {}, 2, buffer);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "chunk size of 4096 bytes exceeds the shared random buffer of 2048 bytes");
    EXPECT_EQ(buffer->bytes.size(), 2048u);
}

TEST_F(TransportTest, TimeOutsGiveTheTransportTexts)
{
    // A late reply: the request times out, and the next read gets the reply.
    auto& slow = serve({.reply_delay = 400ms});
    auto c = connect(params(slow.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    auto late = run(request(conn, Msg(ServerLoadRequest{}), 100ms));
    ASSERT_FALSE(late);
    EXPECT_EQ(late.error(), "protobuf communication timed out");
    auto next = run(conn.read_proto_msg(2s));
    ASSERT_TRUE(next) << next.error();
    EXPECT_TRUE(next->holds<ServerLoadResponse>());

    auto nothing = run(conn.read_proto_msg(100ms));
    ASSERT_FALSE(nothing);
    EXPECT_EQ(nothing.error(), "failed to read proto message: read timed out");

    // Bytes that keep trickling in do not extend a chunk read's time-out.
    auto& trickle = serve({.chunk_size = 4096, .trickle_bytes = 64, .trickle_pause = 20ms});
    auto t = connect(params(trickle.tcp_port()));
    ASSERT_TRUE(t.ok()) << t.error();
    auto& tconn = *t.runner().connection;
    ASSERT_TRUE(is_ok(run(request(tconn, Msg(DownlinkPretestRequest{1})))));
    const auto start = std::chrono::steady_clock::now();
    auto chunk = run(tconn.recv_data_chunk(300ms));
    ASSERT_FALSE(chunk);
    EXPECT_EQ(chunk.error(), "read timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(TransportTest, CutOffPeerGivesEndOfFileTexts)
{
    using speed_server::CutOff;
    struct Case {
        CutOff cut;
        bool chunk;
        const char* error;
    };
    const Case cases[] = {
        {CutOff::InLengthField, false, "failed to read proto message: unexpected end of file"},
        {CutOff::InBody, false, "failed to read proto message: early eof"},
        {CutOff::InChunkPayload, true, "early eof"},
        {CutOff::BeforeMarker, true, "unexpected end of file"},
    };
    for (const auto& c : cases) for (const bool tls : {false, true}) {
        SCOPED_TRACE(std::string(c.error) + (tls ? " over TLS" : ""));
        auto& server = serve({.chunk_size = 4096, .cut_off = c.cut});
        auto outcome = connect(params(server.tcp_port(), tls));
        ASSERT_TRUE(outcome.ok()) << outcome.error();
        auto& conn = *outcome.runner().connection;
        auto reply = run(request(conn, Msg(DownlinkPretestRequest{2})));
        if (!c.chunk) {
            ASSERT_FALSE(reply);
            EXPECT_EQ(reply.error(), c.error);
            continue;
        }
        ASSERT_TRUE(is_ok(reply));
        auto chunk = run(conn.recv_data_chunk(2s));
        ASSERT_FALSE(chunk);
        EXPECT_EQ(chunk.error(), c.error);
    }
}

TEST_F(TransportTest, OversizedEnvelopeIsRefusedBeforeWriting)
{
    auto& server = serve();
    auto c = connect(params(server.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    std::vector<std::uint8_t> big(70000, 1);
    auto status = run(conn.transport.writer->send_msg(big, 1s));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->kind, IoErrorKind::InvalidData);
    // Nothing went out: the framing is intact and the next request works.
    auto load = run(request(conn, Msg(ServerLoadRequest{})));
    ASSERT_TRUE(load) << load.error();
    EXPECT_TRUE(load->holds<ServerLoadResponse>());
}

TEST_F(TransportTest, WebsocketChunkOfAnotherSizeIsRefused)
{
    auto& server = serve({.chunk_size = 1024});
    auto c = connect(params(server.tcp_port(), false, true));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    conn.chunk_size = 1000;  // the client expects other chunks than the server sends
    ASSERT_TRUE(is_ok(run(request(conn, Msg(DownlinkPretestRequest{1})))));
    auto chunk = run(conn.recv_data_chunk(2s));
    ASSERT_FALSE(chunk);
    EXPECT_EQ(chunk.error(), "unexpected message size");
}

TEST_F(TransportTest, RequestTimeOutCoversTheWaitForTheReader)
{
    auto& server = serve();
    auto c = connect(params(server.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    // A sub-task holds the reader for longer than the request may take.
    auto held = conn.reader_handle()->mutex.try_lock();
    ASSERT_TRUE(held.owns_lock());
    const auto start = std::chrono::steady_clock::now();
    auto reply = run(request(conn, Msg(ServerLoadRequest{}), 150ms));
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error(), "protobuf communication timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    held.release();
    auto late = run(conn.read_proto_msg(2s));
    ASSERT_TRUE(late) << late.error();
    EXPECT_TRUE(late->holds<ServerLoadResponse>());
}

TEST_F(TransportTest, WriterThatGivesUpDoesNotHoldBackReaders)
{
    auto result = run([]() -> asio::awaitable<bool> {
        using namespace asio::experimental::awaitable_operators;
        AsyncRwLock lock;
        auto reader = co_await lock.lock_shared();
        asio::steady_timer timer(co_await asio::this_coro::executor, 50ms);
        auto first = co_await on_strand(lock.lock_exclusive() || timer.async_wait(asio::use_awaitable));
        if (first.index() != 1)
            co_return false;
        auto second_reader = lock.try_lock_shared();
        reader.release();
        auto writer = lock.try_lock_exclusive();
        co_return second_reader.owns_lock() && !writer.owns_lock();
    }());
    EXPECT_TRUE(result);
}

// Chunks whose bytes arrive in pieces: the marker alone in a later read, a
// payload spread over many reads, a chunk larger than the reader's buffer.
// Each is counted whole, with only the last one marked, both when the payload
// is skipped (recv_data_chunk) and when a caller keeps it (recv_chunk).
TEST_F(TransportTest, ChunksSplitAcrossReadsAreCountedWhole)
{
    struct Case {
        std::uint32_t chunk_size;
        std::size_t trickle;  // bytes per piece, 0: no pauses
    };
    const Case cases[] = {
        {4096, 4095},    // payload, pause, marker
        {4096, 1000},    // pieces that end inside the payload and at the marker
        {65536, 65535},  // a large payload, then its marker alone
        {600000, 0},     // one chunk larger than the read buffer
    };
    for (const auto& c : cases) for (const bool tls : {false, true}) {
        SCOPED_TRACE(std::to_string(c.chunk_size) + " in pieces of " + std::to_string(c.trickle) + (tls ? " over TLS" : ""));
        auto& server = serve({.chunk_size = c.chunk_size, .trickle_bytes = c.trickle, .trickle_pause = 5ms});
        auto outcome = connect(params(server.tcp_port(), tls), {}, 4);
        ASSERT_TRUE(outcome.ok()) << outcome.error();
        auto& conn = *outcome.runner().connection;
        auto [chunks, marked] = run(downlink_round(conn, 3));
        EXPECT_EQ(chunks, 3);
        EXPECT_TRUE(marked);

        // The payload itself, where a caller wants it.
        ASSERT_TRUE(is_ok(run(request(conn, Msg(DownlinkPretestRequest{2})))));
        std::vector<std::uint8_t> payload(c.chunk_size - 1);
        std::vector<bool> flags;
        for (int i = 0; i < 2; ++i) {
            bool last = false;
            auto status = run(conn.reader_handle()->reader->recv_chunk(payload, last, 5s));
            ASSERT_FALSE(status) << status->text;
            flags.push_back(last);
            EXPECT_EQ(std::count(payload.begin(), payload.end(), 0x5A), std::ptrdiff_t(payload.size()));
        }
        EXPECT_EQ(flags, (std::vector<bool>{false, true}));
        // The framing is intact afterwards.
        auto load = run(request(conn, Msg(ServerLoadRequest{})));
        ASSERT_TRUE(load) << load.error();
        EXPECT_TRUE(load->holds<ServerLoadResponse>());
        servers_.clear();
    }
}

// Chunks sent in batches reach the server as the same chunks one by one
// would: whole, in order, only the final one marked, on every framing. The
// slices wrap in the shared buffer as single writes do.
TEST_F(TransportTest, BatchedChunkWritesKeepTheFraming)
{
    struct Kind {
        bool tls, websocket;
    };
    for (const Kind kind : {Kind{false, false}, Kind{true, false}, Kind{false, true}, Kind{true, true}}) {
        SCOPED_TRACE(std::string(kind.tls ? "tls" : "tcp") + (kind.websocket ? "+ws" : ""));
        auto& server = serve({.chunk_size = 4096});
        auto c = connect(params(server.tcp_port(), kind.tls, kind.websocket));
        ASSERT_TRUE(c.ok()) << c.error();
        auto& conn = *c.runner().connection;
        const std::span<const std::uint8_t> random(conn.random_buffer->bytes);
        ASSERT_EQ(random.size(), 8u * 4096u);

        // Nine slices of 4095 bytes: eight fit, the ninth starts over at 0.
        ASSERT_TRUE(is_ok(run(request(conn, Msg(UplinkPretestRequest{9})))));
        std::size_t offset = 0;
        auto failed = run(conn.write_random_chunks(random, offset, 9, true, 5s));
        ASSERT_FALSE(failed) << *failed;
        EXPECT_EQ(offset, 4095u);
        EXPECT_TRUE(is_ok(run(conn.read_proto_msg(5s))));

        // One burst in two batches: only the final chunk of the second is last.
        ASSERT_TRUE(is_ok(run(request(conn, Msg(UplinkPretestRequest{5})))));
        offset = 0;
        ASSERT_FALSE(run(conn.write_random_chunks(random, offset, 3, false, 5s)));
        ASSERT_FALSE(run(conn.write_random_chunks(random, offset, 2, true, 5s)));
        EXPECT_TRUE(is_ok(run(conn.read_proto_msg(5s))));
        EXPECT_EQ(server.stats().uplink_bytes, 14u * 4096u);
        servers_.clear();
    }
}

// A peer that stops reading: the write times out once data has stopped
// leaving the socket for the chunk time-out. Until the receiver's buffers
// are full, its kernel may still take data now and then (more often under
// memory pressure); each time the chunk in progress moved on, so the bound
// is taken from the last time the send queue shrank, as watched from here.
TEST_F(TransportTest, WriteTimesOutOnAPeerThatStopsReading)
{
    using Clock = std::chrono::steady_clock;
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "tls" : "tcp");
        auto& server = serve({.chunk_size = 65536, .stall_uplink = true});
        auto c = connect(params(server.tcp_port(), tls));
        ASSERT_TRUE(c.ok()) << c.error();
        auto& conn = *c.runner().connection;
        ASSERT_TRUE(is_ok(run(request(conn, Msg(UplinkTestRequest{200})))));

        std::atomic<bool> watching{true};
        std::atomic<Clock::rep> last_drain{Clock::now().time_since_epoch().count()};
        std::thread watcher([fd = conn.transport.socket.fd(), &watching, &last_drain] {
            int queued = 0;
            while (watching.load()) {
                int now_queued = 0;
                if (::ioctl(fd, TIOCOUTQ, &now_queued) == 0) {
                    if (now_queued < queued)
                        last_drain.store(Clock::now().time_since_epoch().count());
                    queued = now_queued;
                }
                std::this_thread::sleep_for(2ms);
            }
        });

        const std::span<const std::uint8_t> random(conn.random_buffer->bytes);
        std::size_t offset = 0;
        std::optional<std::string> failed;
        // The socket buffers take a few MiB at most; then a batch must time out.
        for (int i = 0; i < 2000 && !failed; ++i)
            failed = run(conn.write_random_chunks(random, offset, 8, false, 200ms));
        const auto ended = Clock::now();
        watching.store(false);
        watcher.join();
        ASSERT_TRUE(failed);
        EXPECT_EQ(*failed, "failed to write random data: write timed out");
        // Data that left is noticed at the writer's next look at its queue,
        // at most a chunk time-out later, and the time-out starts anew there.
        const auto idle = ended - Clock::time_point(Clock::duration(last_drain.load()));
        EXPECT_GE(idle, 190ms);
        EXPECT_LT(idle, 1000ms);
    }
}

// Each operation keeps its own deadline, whatever the one before it had:
// a shorter one after a longer one, and a longer one after a shorter one.
TEST_F(TransportTest, DeadlinesOfSuccessiveOperationsAreEachKept)
{
    auto& server = serve();
    auto c = connect(params(server.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    auto timed_read = [&](Timeout t) {
        const auto start = std::chrono::steady_clock::now();
        auto reply = run(conn.read_proto_msg(t));
        EXPECT_FALSE(reply);
        if (!reply) {
            EXPECT_EQ(reply.error(), "failed to read proto message: read timed out");
        }
        return std::chrono::steady_clock::now() - start;
    };

    ASSERT_TRUE(run(request(conn, Msg(ServerLoadRequest{}), 9s)));
    EXPECT_LT(timed_read(200ms), 1s);

    ASSERT_TRUE(run(request(conn, Msg(ServerLoadRequest{}), 300ms)));
    const auto took = timed_read(900ms);
    EXPECT_GE(took, 890ms);
    EXPECT_LT(took, 2s);

    // Still in step: a request right after works.
    EXPECT_TRUE(run(request(conn, Msg(ServerLoadRequest{}), 2s)));
}

TEST_F(TransportTest, RequestTakesTheReaderOnceASubTaskLetsGo)
{
    auto& server = serve();
    auto c = connect(params(server.tcp_port()));
    ASSERT_TRUE(c.ok()) << c.error();
    auto& conn = *c.runner().connection;
    auto held = conn.reader_handle()->mutex.try_lock();
    ASSERT_TRUE(held.owns_lock());
    const auto start = std::chrono::steady_clock::now();
    // Gives the reply's kind, or the failure text.
    auto reply = asio::co_spawn(
        conn.executor(),
        [&conn]() -> asio::awaitable<std::string> {
            auto got = co_await conn.request(Msg(ServerLoadRequest{}), 3s);
            if (!got)
                co_return got.error();
            co_return got->holds<ServerLoadResponse>() ? "ServerLoadResponse" : "another kind";
        },
        asio::use_future);
    EXPECT_EQ(reply.wait_for(100ms), std::future_status::timeout);
    held.release();
    ASSERT_EQ(reply.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(reply.get(), "ServerLoadResponse");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// The reactor may learn that the socket is readable, a read then take the
// bytes, and that readiness only reach a wait begun after the read. An idle
// connection whose bytes were all read has nothing to read: its wait for the
// server goes on (a wait that ended there made the runner give up a healthy
// connection, and the step after it failed). One thread, so that every round
// meets that order.
TEST(IdleConnection, ReadinessOfBytesAlreadyReadDoesNotEndTheWait)
{
    asio::io_context io(1);
    asio::ip::tcp::acceptor acceptor(io, Endpoint(asio::ip::make_address("127.0.0.1"), 0));
    TcpSocket client(asio::make_strand(io));
    client.connect(acceptor.local_endpoint());
    TcpSocket server = acceptor.accept();
    auto handle = duplicate_socket(client.native_handle());
    ASSERT_TRUE(std::holds_alternative<SocketHandle>(handle));
    auto built = MessageTransport::from_stream(std::move(client), std::move(std::get<SocketHandle>(handle)));
    ASSERT_TRUE(std::holds_alternative<MessageTransport>(built));
    auto transport = std::move(std::get<MessageTransport>(built));

    constexpr int kRounds = 30;
    auto rounds = [&]() -> asio::awaitable<int> {
        using namespace asio::experimental::awaitable_operators;
        auto& reader = *transport.reader->reader;
        const auto executor = co_await asio::this_coro::executor;
        const std::array<std::uint8_t, 3> envelope{0, 1, 7};
        int woken = 0;  // waits that ended with nothing to read
        for (int i = 0; i < kRounds; ++i) {
            asio::write(server, asio::buffer(envelope));
            co_await asio::post(executor, asio::use_awaitable);  // the reactor sees the bytes first
            std::vector<std::uint8_t> got;
            if (auto failed = co_await reader.recv_msg(got, 1s))
                throw std::runtime_error("reply not read: " + failed->text);
            asio::steady_timer quiet(executor, 20ms);
            auto first = co_await (reader.wait_readable() || quiet.async_wait(asio::as_tuple(asio::use_awaitable)));
            if (first.index() == 0)
                ++woken;
        }
        co_return woken;
    };
    auto woken = asio::co_spawn(transport.executor, rounds(), asio::use_future);
    io.run_for(10s);
    ASSERT_EQ(woken.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(woken.get(), 0) << "of " << kRounds << " idle waits";

    // The server's leaving still ends the wait.
    auto ends = [&]() -> asio::awaitable<bool> {
        using namespace asio::experimental::awaitable_operators;
        asio::steady_timer bound(co_await asio::this_coro::executor, 5s);
        server.close();
        auto first = co_await (transport.reader->reader->wait_readable() ||
                               bound.async_wait(asio::as_tuple(asio::use_awaitable)));
        co_return first.index() == 0;
    };
    io.restart();
    auto ended = asio::co_spawn(transport.executor, ends(), asio::use_future);
    io.run_for(15s);
    ASSERT_EQ(ended.wait_for(0s), std::future_status::ready);
    EXPECT_TRUE(ended.get());
}

// Runs of chunks against a peer of the test's own on loopback, plain or TLS,
// which reads everything that comes until the client leaves.
class ChunkRunTest : public TransportTest {
protected:
    ChunkRunTest()
    {
        const auto& certificate = lumivex::test_peers::sharedTestCertificate();
        server_tls_.use_certificate_chain(asio::buffer(certificate.certificatePem));
        server_tls_.use_private_key(asio::buffer(certificate.privateKeyPem), asio::ssl::context::pem);
        // No session tickets: the client leaves with nothing unread, so its
        // close is an orderly end and not a reset that drops what is still
        // in flight.
        SSL_CTX_set_num_tickets(server_tls_.native_handle(), 0);
    }

    struct Reader {
        std::chrono::milliseconds pause{0};     // before the first read: lets the socket fill
        std::size_t piece = 64 * 1024;          // bytes per read at most
        std::chrono::milliseconds interval{0};  // between reads
    };
    struct Received {
        ChunkRun run;
        std::chrono::steady_clock::duration took{};
        std::vector<std::uint8_t> bytes;
        std::vector<std::size_t> records;  // TLS: lengths of the data records that came in
    };

    // Small socket buffers on both ends, so that a slow reader makes the
    // sender wait soon.
    void narrow_buffers() { narrow_ = true; }

    Received transfer(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last, ChunkLimits limits,
                      Reader reading, bool tls)
    {
        constexpr int kNarrow = 64 * 1024;
        if (narrow_)
            acceptor_.set_option(asio::socket_base::receive_buffer_size(kNarrow));
        TcpSocket client(runtime_.make_strand());
        if (narrow_) {
            client.open(asio::ip::tcp::v4());
            client.set_option(asio::socket_base::send_buffer_size(kNarrow));
        }
        client.connect(acceptor_.local_endpoint());
        asio::ip::tcp::socket peer(io_);
        acceptor_.accept(peer);
        Received got;
        std::thread reader([&] {
            asio::ssl::stream<asio::ip::tcp::socket&> tls_peer(peer, server_tls_);
            boost::system::error_code ec;
            if (tls) {
                // Every record header that arrives, read from the engine.
                SSL_set_msg_callback(tls_peer.native_handle(), [](int write_p, int, int content_type, const void* buf,
                                                                   std::size_t len, SSL*, void* arg) {
                    const auto* header = static_cast<const std::uint8_t*>(buf);
                    if (!write_p && content_type == SSL3_RT_HEADER && len >= 5 && header[0] == SSL3_RT_APPLICATION_DATA)
                        static_cast<std::vector<std::size_t>*>(arg)->push_back(std::size_t(header[3]) << 8 | header[4]);
                });
                SSL_set_msg_callback_arg(tls_peer.native_handle(), &got.records);
                tls_peer.handshake(asio::ssl::stream_base::server, ec);
                got.records.clear();  // the handshake's own
            }
            std::this_thread::sleep_for(reading.pause);
            std::vector<std::uint8_t> piece(reading.piece);
            while (!ec) {
                const std::size_t n = tls ? tls_peer.read_some(asio::buffer(piece), ec) : peer.read_some(asio::buffer(piece), ec);
                got.bytes.insert(got.bytes.end(), piece.begin(), piece.begin() + std::ptrdiff_t(n));
                std::this_thread::sleep_for(reading.interval);
            }
        });
        std::variant<MessageTransport, std::string> built = std::string("not built");
        auto handle = duplicate_socket(client.native_handle());
        EXPECT_TRUE(std::holds_alternative<SocketHandle>(handle));
        if (!std::holds_alternative<SocketHandle>(handle))
            handle = SocketHandle();
        if (tls) {
            const auto strand = client.get_executor();
            auto made = TlsSession::create(std::move(client), client_tls_.native_handle(), "localhost", true);
            if (auto* session = std::get_if<TlsSessionPtr>(&made)) {
                auto shaken = asio::co_spawn(strand, (*session)->handshake(), asio::use_future);
                if (shaken.wait_for(5s) == std::future_status::ready && !shaken.get())
                    built = MessageTransport::from_stream(std::move(*session), std::move(std::get<SocketHandle>(handle)));
            }
        } else {
            built = MessageTransport::from_stream(std::move(client), std::move(std::get<SocketHandle>(handle)));
        }
        if (auto* transport = std::get_if<MessageTransport>(&built)) {
            const auto start = std::chrono::steady_clock::now();
            got.run = run(transport->writer->send_chunks(payloads, final_is_last, limits));
            got.took = std::chrono::steady_clock::now() - start;
            built = std::string("closed");  // closes the connection: the peer reads to its end
        } else {
            ADD_FAILURE() << std::get<std::string>(built);
            peer.close();
        }
        reader.join();
        return got;
    }

    // The bytes of the first `count` chunks.
    static std::vector<std::uint8_t> expected(std::span<const std::span<const std::uint8_t>> payloads, std::size_t count,
                                              bool final_is_last)
    {
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < count; ++i) {
            bytes.insert(bytes.end(), payloads[i].begin(), payloads[i].end());
            bytes.push_back(final_is_last && i + 1 == payloads.size() ? 0xFF : 0x00);
        }
        return bytes;
    }

    // Full records (16 KiB of plaintext, a little more on the wire), then
    // the run's tail.
    static ::testing::AssertionResult in_full_records(const std::vector<std::size_t>& records, std::size_t bytes)
    {
        if (records.size() != (bytes + 16383) / 16384)
            return ::testing::AssertionFailure() << records.size() << " records for " << bytes << " bytes";
        for (std::size_t i = 0; i + 1 < records.size(); ++i)
            if (records[i] < 16384)
                return ::testing::AssertionFailure() << "record " << i << " of " << records[i] << " bytes";
        return ::testing::AssertionSuccess();
    }

    // Chunks of `payload` bytes laid out as the chunk image is: each payload
    // followed by its not-last marker.
    static std::vector<std::span<const std::uint8_t>> image_chunks(std::vector<std::uint8_t>& image, std::size_t payload,
                                                                   std::size_t count)
    {
        image.resize(count * (payload + 1));
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = (i + 1) % (payload + 1) == 0 ? 0x00 : std::uint8_t(i % 251 + 1);
        std::vector<std::span<const std::uint8_t>> chunks;
        for (std::size_t i = 0; i < count; ++i)
            chunks.push_back(std::span<const std::uint8_t>(image).subspan(i * (payload + 1), payload));
        return chunks;
    }

    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
    asio::ssl::context server_tls_{asio::ssl::context::tls_server};
    asio::ssl::context client_tls_{asio::ssl::context::tls_client};
    bool narrow_ = false;
};

// A run of chunks goes out as exactly the bytes of one chunk after another
// (payload, marker), whether the payloads lie apart or one after another with
// their not-last marker between them, which the writer then sends as one
// piece. A stop while the socket is full finishes the chunk in progress and
// nothing after it. Over TLS the chunks are joined into full records: only
// the run's tail is a shorter record, so a marker byte is never a record of
// its own and a run of small chunks takes far fewer records than chunks.
TEST_F(ChunkRunTest, GatheredChunksGoOutByteForByte)
{
    // Payloads of 100 bytes, each followed by one byte: 0x00 (a not-last
    // marker, sent with the payload), or something else, which must not go out.
    constexpr std::size_t kPayload = 100;
    std::vector<std::uint8_t> image(8 * (kPayload + 1));
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = std::uint8_t(i * 7 + 1) | 1;  // never 0
    for (const std::size_t at : {0u, 1u, 2u, 4u, 5u, 7u})
        image[at * (kPayload + 1) + kPayload] = 0x00;
    std::vector<std::span<const std::uint8_t>> adjacent;
    for (std::size_t i = 0; i < 8; ++i)
        adjacent.push_back(std::span<const std::uint8_t>(image).subspan(i * (kPayload + 1), kPayload));
    // The same run with one payload repeated and one out of order.
    std::vector<std::span<const std::uint8_t>> mixed = {adjacent[0], adjacent[1], adjacent[1], adjacent[4], adjacent[2],
                                                        adjacent[3], adjacent[5], adjacent[6], adjacent[7]};
    // Many small chunks, in pieces of every kind.
    std::vector<std::span<const std::uint8_t>> many_small;
    for (std::size_t i = 0; i < 3000; ++i)
        many_small.push_back(mixed[i % mixed.size()]);
    for (const bool tls : {false, true}) {
        for (const bool last : {false, true}) {
            for (const auto* payloads : {&adjacent, &mixed, &many_small}) {
                SCOPED_TRACE(std::string(payloads == &adjacent ? "adjacent" : payloads == &mixed ? "mixed" : "many small") +
                             (last ? ", final marked" : "") + (tls ? ", TLS" : ""));
                auto got = transfer(*payloads, last, ChunkLimits{5s, std::nullopt, {}}, {}, tls);
                EXPECT_FALSE(got.run.status);
                EXPECT_EQ(got.run.sent, payloads->size());
                EXPECT_TRUE(got.bytes == expected(*payloads, payloads->size(), last));
                if (tls) {
                    EXPECT_TRUE(in_full_records(got.records, got.bytes.size()));
                }
            }
        }
    }

    // A run far larger than the socket buffers, stopped once the socket is
    // full: whole chunks only, in order, each with its marker.
    constexpr std::size_t kLarge = 64 * 1024 - 1;
    std::vector<std::uint8_t> big;
    const auto many = image_chunks(big, kLarge, 256);
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "stopped, TLS" : "stopped");
        auto got = transfer(many, true, ChunkLimits{5s, std::nullopt, [] { return true; }}, {.pause = 100ms}, tls);
        EXPECT_FALSE(got.run.status);
        ASSERT_GT(got.run.sent, 0u);
        ASSERT_LT(got.run.sent, many.size());
        EXPECT_EQ(got.bytes.size(), got.run.sent * (kLarge + 1));
        EXPECT_TRUE(got.bytes == expected(many, got.run.sent, true));
        if (tls) {
            EXPECT_TRUE(in_full_records(got.records, got.bytes.size()));
        }
    }
}

// A run of chunks that a slow reader takes far longer than one chunk's
// time-out goes through whole: each chunk's time-out counts from the chunk
// before it and from the link's progress, never from the run's start.
TEST_F(ChunkRunTest, RunOverASlowReaderKeepsEachChunksTimeOut)
{
    constexpr auto kPerChunk = 500ms;
    // 1.5 MiB read at some 800 kB/s; the narrow buffers hold a few hundred kB.
    std::vector<std::uint8_t> image;
    const auto chunks = image_chunks(image, 4095, 384);
    narrow_buffers();
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        auto got = transfer(chunks, true, ChunkLimits{kPerChunk, std::nullopt, {}},
                            {.piece = 16 * 1024, .interval = 20ms}, tls);
        ASSERT_FALSE(got.run.status) << got.run.status->text;
        EXPECT_EQ(got.run.sent, chunks.size());
        EXPECT_GT(got.took, 2 * kPerChunk);  // the run did outlast a chunk's time-out
        EXPECT_TRUE(got.bytes == expected(chunks, chunks.size(), true));
    }
}

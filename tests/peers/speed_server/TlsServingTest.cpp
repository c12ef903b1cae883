// The measurement server's TLS path against a bare OpenSSL client over
// loopback: bulk downlink bytes arrive exactly and end with a close_notify,
// and a client that vanishes in the middle of a record ends only its own
// connection.

#include "SpeedServer.h"
#include "sprint.pb.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A TLS client on a blocking socket whose reads and writes give up after
// a few seconds; the engine works on memory buffers so that the test
// decides which bytes reach the socket.
class Client {
public:
    explicit Client(std::uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval limit{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        context_ = SSL_CTX_new(TLS_client_method());
        ssl_ = SSL_new(context_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_connect_state(ssl_);
    }
    ~Client()
    {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool handshake()
    {
        if (!connected_)
            return false;
        for (;;) {
            const int r = SSL_do_handshake(ssl_);
            if (!flush())
                return false;
            if (r == 1)
                return true;
            if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || !receive())
                return false;
        }
    }

    // Encrypts `data`; `send_fraction` of the resulting bytes go to the
    // socket (a fraction below one leaves a record incomplete).
    bool write(const std::string& data, double send_fraction = 1.0)
    {
        if (SSL_write(ssl_, data.data(), int(data.size())) != int(data.size()))
            return false;
        return flush(send_fraction);
    }
    bool send_msg(const sprintproto::Msg& msg)
    {
        const std::string body = msg.SerializeAsString();
        return write(std::string{char(body.size() >> 8), char(body.size())} + body);
    }

    // Exactly `n` decrypted bytes, or nothing when the stream ended first.
    std::optional<std::string> read_exact(std::size_t n)
    {
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            std::size_t step = 0;
            const int r = SSL_read_ex(ssl_, out.data() + got, n - got, &step);
            if (r == 1) {
                got += step;
                continue;
            }
            last_error_ = SSL_get_error(ssl_, r);
            if (last_error_ != SSL_ERROR_WANT_READ || !receive())
                return std::nullopt;
        }
        return out;
    }
    std::optional<sprintproto::Msg> read_msg()
    {
        auto length = read_exact(2);
        if (!length)
            return std::nullopt;
        auto body = read_exact(std::size_t(std::uint8_t((*length)[0])) << 8 | std::uint8_t((*length)[1]));
        sprintproto::Msg msg;
        if (!body || !msg.ParseFromString(*body))
            return std::nullopt;
        return msg;
    }
    // The engine's error kind of the last failed read.
    int last_error() const { return last_error_; }
    bool socket_ended() const { return socket_ended_; }

    // Leaves with a reset rather than an orderly close.
    void reset()
    {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd_);
        fd_ = -1;
    }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

    // Reads and drops raw bytes until the server ends the connection;
    // false when it is still open after the socket's time limit.
    bool wait_for_end()
    {
        char sink[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET))
                return true;
            if (n < 0)
                return false;
        }
    }

private:
    bool flush(double fraction = 1.0)
    {
        char* data = nullptr;
        const long pending = BIO_get_mem_data(out_, &data);
        const auto n = std::size_t(double(pending) * fraction);
        for (std::size_t sent = 0; sent < n;) {
            const ssize_t r = ::send(fd_, data + sent, n - sent, MSG_NOSIGNAL);
            if (r <= 0)
                return false;
            sent += std::size_t(r);
        }
        (void)BIO_reset(out_);
        return true;
    }
    bool receive()
    {
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            socket_ended_ = n == 0;
            return false;
        }
        BIO_write(in_, buffer, int(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
    int last_error_ = 0;
    bool socket_ended_ = false;
};

sprintproto::Msg init_request()
{
    sprintproto::Msg msg;
    auto* init = msg.mutable_measurement_init_request();
    init->set_protocol_version("1.0");
    init->set_uuid(std::string(16, '\x11'));
    return msg;
}

bool is_ok(const std::optional<sprintproto::Msg>& msg)
{
    return msg && msg->has_generic_response() && msg->generic_response().status_code() == sprintproto::Ok;
}

// Reads downlink chunks until the last marker; every payload byte and every
// marker is checked. Gives the bytes read, or 0 when anything was off.
std::uint64_t read_downlink(Client& client, std::size_t chunk_size)
{
    std::uint64_t total = 0;
    for (;;) {
        auto chunk = client.read_exact(chunk_size);
        if (!chunk)
            return 0;
        total += chunk_size;
        if (chunk->find_first_not_of('\x5A') != chunk_size - 1) {
            ADD_FAILURE() << "payload byte off in the chunk at " << total - chunk_size;
            return 0;
        }
        if (chunk->back() == '\xFF')
            return total;
        if (chunk->back() != '\0') {
            ADD_FAILURE() << "marker off in the chunk at " << total - chunk_size;
            return 0;
        }
    }
}

std::unique_ptr<speed_server::SpeedServer> start_server(speed_server::Options options = {})
{
    auto server = std::make_unique<speed_server::SpeedServer>(std::move(options));
    server->start();
    return server;
}

void expect_serving(speed_server::SpeedServer& server)
{
    Client client(server.tcp_port());
    ASSERT_TRUE(client.handshake());
    ASSERT_TRUE(client.send_msg(init_request()));
    auto reply = client.read_msg();
    ASSERT_TRUE(reply && reply->has_measurement_init_response());
}

TEST(TlsServing, BulkDownlinkArrivesExactlyAndEndsWithCloseNotify)
{
    for (const std::uint32_t chunk_size : {4096u, 65536u}) {
        SCOPED_TRACE(chunk_size);
        speed_server::Options options;
        options.chunk_size = chunk_size;
        auto server = start_server(options);
        Client client(server->tcp_port());
        ASSERT_TRUE(client.handshake());
        ASSERT_TRUE(client.send_msg(init_request()));
        ASSERT_TRUE(client.read_msg());

        // A counted pretest of 24 MiB (many ringfuls, in blocks of 1 MiB),
        // then a timed test of a second.
        sprintproto::Msg pretest;
        pretest.mutable_downlink_pretest_request()->set_count(24u * 1024 * 1024 / chunk_size);
        ASSERT_TRUE(client.send_msg(pretest));
        ASSERT_TRUE(is_ok(client.read_msg()));
        EXPECT_EQ(read_downlink(client, chunk_size), 24u * 1024 * 1024);

        sprintproto::Msg timed;
        timed.mutable_downlink_test_request()->set_seconds(1);
        ASSERT_TRUE(client.send_msg(timed));
        ASSERT_TRUE(is_ok(client.read_msg()));
        const std::uint64_t bytes = read_downlink(client, chunk_size);
        EXPECT_GT(bytes, 0u);
        EXPECT_EQ(server->stats().downlink_bytes, 24u * 1024 * 1024 + bytes);

        // After the answer to a quit the server closes with a close_notify.
        sprintproto::Msg quit;
        quit.mutable_quit_request();
        ASSERT_TRUE(client.send_msg(quit));
        ASSERT_TRUE(is_ok(client.read_msg()));
        EXPECT_FALSE(client.read_exact(1));
        EXPECT_EQ(client.last_error(), SSL_ERROR_ZERO_RETURN);
    }
}

TEST(TlsServing, ClientVanishingMidRecordEndsOnlyItsConnection)
{
    auto server = start_server({.chunk_size = 4096});
    const std::string some_chunks(3 * 4096, '\x5A');

    {
        SCOPED_TRACE("half of the initialisation's record, then the end of the stream");
        Client client(server->tcp_port());
        ASSERT_TRUE(client.handshake());
        const std::string body = init_request().SerializeAsString();
        ASSERT_TRUE(client.write(std::string{char(body.size() >> 8), char(body.size())} + body, 0.5));
        client.shutdown_write();
        EXPECT_TRUE(client.wait_for_end());
        expect_serving(*server);
    }
    {
        SCOPED_TRACE("uplink records, half a record, then the end of the stream");
        Client client(server->tcp_port());
        ASSERT_TRUE(client.handshake());
        ASSERT_TRUE(client.send_msg(init_request()));
        ASSERT_TRUE(client.read_msg());
        sprintproto::Msg uplink;
        uplink.mutable_uplink_pretest_request()->set_count(100);
        ASSERT_TRUE(client.send_msg(uplink));
        ASSERT_TRUE(is_ok(client.read_msg()));
        ASSERT_TRUE(client.write(some_chunks));
        ASSERT_TRUE(client.write(some_chunks, 0.5));
        client.shutdown_write();
        EXPECT_TRUE(client.wait_for_end());
        expect_serving(*server);
    }
    {
        SCOPED_TRACE("a reset in the middle of a timed downlink");
        Client client(server->tcp_port());
        ASSERT_TRUE(client.handshake());
        ASSERT_TRUE(client.send_msg(init_request()));
        ASSERT_TRUE(client.read_msg());
        sprintproto::Msg downlink;
        downlink.mutable_downlink_test_request()->set_seconds(30);
        ASSERT_TRUE(client.send_msg(downlink));
        ASSERT_TRUE(is_ok(client.read_msg()));
        ASSERT_TRUE(client.read_exact(1024 * 1024 + 1000));  // ends inside a record
        client.reset();
        // The server stops sending soon after, long before the 30 s.
        std::uint64_t before = server->stats().downlink_bytes;
        bool settled = false;
        for (int i = 0; i < 50 && !settled; ++i) {
            std::this_thread::sleep_for(200ms);
            const std::uint64_t now = server->stats().downlink_bytes;
            settled = now == before;
            before = now;
        }
        EXPECT_TRUE(settled);
        expect_serving(*server);
    }
}

} // namespace

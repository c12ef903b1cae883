#include <gtest/gtest.h>

#include <chrono>

#include "QosServer.h"
#include "TcpConnection.h"
#include "common/RawTcpPeer.h"

using namespace std::chrono_literals;
using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;
using lumivex::test_peers::RawTcpPeer;
using trevask::measurement_library::TcpConnection;

namespace {

using Clock = std::chrono::steady_clock;

QosServerOptions serverOptions(bool tls) {
    QosServerOptions options;
    options.tls = tls;
    return options;
}

}  // namespace

class TcpConnectionOverTls : public ::testing::TestWithParam<bool> {};

// Plain and TLS (self-signed certificate, accepted without checks) read the
// greeting, write a line and see the server's answer.
TEST_P(TcpConnectionOverTls, ConnectsReadsAndWrites) {
    QosServer server(serverOptions(GetParam()));
    server.start();
    TcpConnection connection("127.0.0.1", server.controlPort(), GetParam(), "test");
    EXPECT_FALSE(connection.hasStream());
    ASSERT_TRUE(connection.connect());
    EXPECT_TRUE(connection.hasStream());
    EXPECT_EQ(connection.readLine(), "QoSSP0.1");
    EXPECT_EQ(connection.readLine(), "ACCEPT [TOKEN]");
    connection.sendMessage("TOKEN abc");
    EXPECT_EQ(connection.readLine(), "OK");
    EXPECT_EQ(connection.readLine(), "ACCEPT [COMMANDS]");
    ASSERT_TRUE(server.waitForControlLines(1, 2s));
    EXPECT_EQ(server.controlLines().at(0), "TOKEN abc");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, TcpConnectionOverTls, ::testing::Values(false, true));

TEST(TcpConnection, IdentityNamesConnectionHostAndPort) {
    TcpConnection connection("H", 80, false, "tcp_7");
    EXPECT_EQ(connection.connectionIdentity(), "tcp_7_H:80");
}

// A carriage return before the line feed stays part of the line.
TEST(TcpConnection, KeepsCarriageReturnOfCrLfLines) {
    QosServerOptions options;
    options.crlf = true;
    QosServer server(options);
    server.start();
    TcpConnection connection("127.0.0.1", server.controlPort(), false, "test");
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(connection.readLine(), "QoSSP0.1\r");
}

// Two lines in one segment come back from two reads; a multi-line read stops
// after the first empty line and keeps what follows for the next read.
TEST(TcpConnection, SplitsBufferedLinesAndMultiLineMessages) {
    RawTcpPeer peer({.script = {"first\nsecond\nA\nB\n\n\nC\r\n\nrest\n"}});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(connection.readLine(), "first");
    EXPECT_EQ(connection.readLine(), "second");
    EXPECT_EQ(connection.readMultiLine(), "A\nB\n\n");
    EXPECT_EQ(connection.readMultiLine(), "\n");
    EXPECT_EQ(connection.readMultiLine(), "C\r\n\n");
    EXPECT_EQ(connection.readLine(), "rest");
}

TEST(TcpConnection, WritesExactBytes) {
    RawTcpPeer peer({});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    connection.sendMessage("PING");
    connection.sendMessageWithoutEndl("PING");
    EXPECT_EQ(peer.received(9, 2s), "PING\nPING");
}

TEST(TcpConnection, UnresolvableHostFailsWithoutThrowing) {
    // Blanks make the resolver refuse the name without asking any DNS server.
    TcpConnection connection("no such host.invalid", 80, false, "test");
    EXPECT_FALSE(connection.connect());
    EXPECT_EQ(connection.readLine(), "");
}

TEST(TcpConnection, RefusedConnectFailsAndKeepsItsStream) {
    uint16_t closedPort = 0;
    {
        RawTcpPeer peer({.lifetime = 0ms});
        closedPort = peer.port();
    }
    TcpConnection connection("127.0.0.1", closedPort, false, "test");
    EXPECT_FALSE(connection.connect());
    // The failed attempt keeps its stream, so a runner does not try again.
    EXPECT_TRUE(connection.hasStream());
    EXPECT_EQ(connection.readLine(), "");
}

TEST(TcpConnection, NoStreamMeansNoOperation) {
    TcpConnection connection("127.0.0.1", 1, false, "test");
    connection.sendMessage("x");
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_EQ(connection.readMultiLine(), "");
}

// A peer that closes before the line end: the read fails with an empty text,
// and so do the multi-line read and every later read.
TEST(TcpConnection, PeerClosingMidLineFailsTheRead) {
    RawTcpPeer peer({.script = {"partial line without end"}, .closeAfterScript = true});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_EQ(connection.readMultiLine(), "");
}

TEST(TcpConnection, MultiLineReadDropsLinesBeforeAFailure) {
    RawTcpPeer peer({.script = {"A\nB\n"}, .closeAfterScript = true});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(connection.readMultiLine(), "");
}

// A silent peer cannot hold a read, a multi-line read or a TLS handshake
// beyond the bound.
TEST(TcpConnection, SilentPeerEndsWithinTheBound) {
    RawTcpPeer peer({.lifetime = 3000ms});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    connection.setIoTimeout(150ms);
    ASSERT_TRUE(connection.connect());
    auto start = Clock::now();
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_LT(Clock::now() - start, 1s);

    RawTcpPeer tlsPeer({.lifetime = 3000ms});
    TcpConnection tls("127.0.0.1", tlsPeer.port(), true, "test");
    tls.setDeadline(Clock::now() + 150ms);
    start = Clock::now();
    EXPECT_FALSE(tls.connect());
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(TcpConnection, DeadlineInThePastFailsAtOnce) {
    RawTcpPeer peer({.script = {"line\n"}});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    connection.setDeadline(Clock::now() - 1ms);
    EXPECT_EQ(connection.readLine(), "");
}

// Lines are held to 64 KiB: one of exactly that length is read; a longer one
// fails its read and is dropped up to its line end, and reading goes on
// with the next line.
TEST(TcpConnection, LinesAreBoundedTo64KiB) {
    const std::string longest(TcpConnection::kMaxLineLength, 'x');
    RawTcpPeer fits({.script = {longest + "\nnext\n"}});
    TcpConnection a("127.0.0.1", fits.port(), false, "test");
    ASSERT_TRUE(a.connect());
    EXPECT_EQ(a.readLine(), longest);
    EXPECT_EQ(a.readLine(), "next");

    // 70 KiB in pieces, so the bound is reached before the line end arrives.
    RawTcpPeer tooLong({.script = {longest, std::string(6 * 1024, 'y'), "\nnext\n", "A\n\n"}, .pause = 20ms});
    TcpConnection b("127.0.0.1", tooLong.port(), false, "test");
    ASSERT_TRUE(b.connect());
    EXPECT_EQ(b.readLine(), "");
    EXPECT_TRUE(b.lastReadFailed());
    EXPECT_EQ(b.readLine(), "next");
    EXPECT_FALSE(b.lastReadFailed());
    EXPECT_EQ(b.readMultiLine(), "A\n\n");

    // Over a megabyte: every 64 KiB is dropped as it comes.
    QosServerOptions options;
    options.longLine = QosServerOptions::LongLine::Greeting;
    options.longLineBytes = 1024 * 1024;
    QosServer server(options);
    server.start();
    TcpConnection c("127.0.0.1", server.controlPort(), false, "test");
    ASSERT_TRUE(c.connect());
    EXPECT_EQ(c.readMultiLine(), "");
    EXPECT_TRUE(c.lastReadFailed());
    EXPECT_EQ(c.readLine(), "ACCEPT [TOKEN]");
}

// An empty line and a failed read give the same empty text; the connection
// tells them apart.
TEST(TcpConnection, TellsAnEmptyLineFromAFailedRead) {
    RawTcpPeer peer({.script = {"\n", "\n\n"}, .pause = 20ms, .closeAfterScript = true});
    TcpConnection connection("127.0.0.1", peer.port(), false, "test");
    ASSERT_TRUE(connection.connect());
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_FALSE(connection.lastReadFailed());
    EXPECT_EQ(connection.readMultiLine(), "\n");
    EXPECT_FALSE(connection.lastReadFailed());
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_FALSE(connection.lastReadFailed());
    EXPECT_EQ(connection.readLine(), "");
    EXPECT_TRUE(connection.lastReadFailed());
    EXPECT_EQ(connection.readMultiLine(), "");
    EXPECT_TRUE(connection.lastReadFailed());
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <thread>
#include <vector>

#include "QosControlConnection.h"
#include "QosServer.h"
#include "common/RawTcpPeer.h"

using namespace std::chrono_literals;
using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;
using trevask::measurement_library::matchQosReply;
using trevask::measurement_library::QosControlConnection;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kToken = "TOKEN 11111111-2222-3333-4444-555555555555_1700000000_Zq7pRt3MvK9sLw2XyN8cHd5FgJa\\u003d";

// Replies as the callbacks saw them, with the thread each ran on.
struct Replies : std::enable_shared_from_this<Replies> {
    struct Reply {
        std::string response;
        std::string id;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable arrived;
    std::multimap<std::string, Reply> byTag;

    trevask::measurement_library::QosResponseCallback callback(std::string tag) {
        // Callbacks may outlive the wait: they keep the record alive.
        return [self = shared_from_this(), tag](std::string response, std::string id) {
            {
                std::lock_guard lock(self->mutex);
                self->byTag.emplace(tag, Reply{response, id, std::this_thread::get_id()});
            }
            self->arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return byTag.size() >= count; });
    }
    std::size_t count(const std::string& tag) {
        std::lock_guard lock(mutex);
        return byTag.count(tag);
    }
    Reply get(const std::string& tag) {
        std::lock_guard lock(mutex);
        return byTag.find(tag)->second;
    }
};

struct Connected {
    explicit Connected(QosServerOptions options = {}) : server(options) {
        server.start();
        connection = std::make_unique<QosControlConnection>("127.0.0.1", server.controlPort(), options.tls, kToken, 2s);
        ok = connection->connect();
    }
    QosServer server;
    std::unique_ptr<QosControlConnection> connection;
    bool ok = false;
};

}  // namespace

class QosHandshake : public ::testing::TestWithParam<bool> {};

TEST_P(QosHandshake, SucceedsAndRequestsTheConnectionTimeout) {
    QosServerOptions options;
    options.tls = GetParam();
    Connected c(options);
    ASSERT_TRUE(c.ok);
    ASSERT_TRUE(c.server.waitForControlLines(2, 2s));
    const auto lines = c.server.controlLines();
    EXPECT_EQ(lines.at(0), kToken);
    EXPECT_EQ(lines.at(1), "REQUEST CONN TIMEOUT 600000");
    EXPECT_NE(c.connection->ioThreadId(), std::thread::id{});
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, QosHandshake, ::testing::Values(false, true));

// A greeting line over 64 KiB is dropped like any over-long line; the
// greeting is not checked, so the handshake goes on.
TEST(QosHandshake, OverlongGreetingLineIsDropped) {
    QosServerOptions options;
    options.longLine = QosServerOptions::LongLine::Greeting;
    Connected c(options);
    ASSERT_TRUE(c.ok);
    ASSERT_TRUE(c.server.waitForControlLines(2, 2s));
    EXPECT_EQ(c.server.controlLines().at(0), kToken);
}

// Only a token reply of exactly "OK" lets the handshake pass.
TEST(QosHandshake, FailsUnlessTheTokenReplyIsExactlyOk) {
    struct Case {
        const char* name;
        QosServerOptions options;
    };
    std::vector<Case> cases;
    for (const char* reply : {"ERR", "OK ", "ok", "", "OK +ID1"}) {
        QosServerOptions o;
        o.tokenReply = reply;
        cases.push_back({reply, o});
    }
    QosServerOptions crlf;
    crlf.crlf = true;
    cases.push_back({"OK followed by CR", crlf});
    QosServerOptions closing;
    closing.closeMidLine = QosServerOptions::CloseMidLine::TokenReply;
    cases.push_back({"closed mid reply", closing});
    QosServerOptions closingGreeting;
    closingGreeting.closeMidLine = QosServerOptions::CloseMidLine::Greeting;
    cases.push_back({"closed mid greeting", closingGreeting});

    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const auto start = Clock::now();
        Connected c(testCase.options);
        EXPECT_FALSE(c.ok);
        EXPECT_LT(Clock::now() - start, 1500ms);
    }
}

// A server that falls silent at any handshake step ends the connect at the bound.
TEST(QosHandshake, SilentServerFailsWithinTheBound) {
    using Silence = QosServerOptions::Silence;
    for (auto silence : {Silence::AfterAccept, Silence::AfterGreeting, Silence::AfterToken}) {
        QosServerOptions options;
        options.silence = silence;
        QosServer server(options);
        server.start();
        QosControlConnection connection("127.0.0.1", server.controlPort(), false, kToken, 200ms);
        const auto start = Clock::now();
        EXPECT_FALSE(connection.connect());
        const auto elapsed = Clock::now() - start;
        EXPECT_GE(elapsed, 150ms);
        EXPECT_LT(elapsed, 1500ms);
    }
}

// The bound covers the whole handshake, not each line: a server that sends
// every line well within the bound but takes longer for all of them fails.
TEST(QosHandshake, BoundCoversTheWholeHandshake) {
    lumivex::test_peers::RawTcpPeer trickle(
        {.script = {"G1\n", "G2\n", "OK\n", "A\n", "OK\n"}, .pause = 120ms, .lifetime = 3000ms});
    QosControlConnection connection("127.0.0.1", trickle.port(), false, kToken, 300ms);
    const auto start = Clock::now();
    EXPECT_FALSE(connection.connect());
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 1500ms);
}

TEST(QosHandshake, UnreachableServerFailsAndRequestsAreHarmless) {
    // Blanks make the resolver refuse the name without asking any DNS server.
    QosControlConnection connection("no such host.invalid", 1, false, kToken, 200ms);
    EXPECT_FALSE(connection.connect());
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    connection.sendRequest("TCPTEST OUT 80", "1", replies.callback("a"));
    connection.sendRequest("TCPTEST OUT 81", "2", replies.callback("b"));
    EXPECT_FALSE(replies.waitFor(1, 50ms));
}

// Requests from several threads go out whole, each thread's in its own order,
// and every reply reaches its own callback on a thread of its own.
TEST(QosControlConnection, ConcurrentRequestsGoOutInQueueOrder) {
    Connected c;
    ASSERT_TRUE(c.ok);
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    constexpr int kThreads = 4, kPerThread = 40;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string id = std::to_string(t * 1000 + i);
                c.connection->sendRequest("ECHO t" + std::to_string(t) + "-" + std::to_string(i), id,
                                          replies.callback(id));
            }
        });
    }
    for (auto& sender : senders) sender.join();
    ASSERT_TRUE(replies.waitFor(kThreads * kPerThread, 5s));

    const auto lines = c.server.controlLines();
    ASSERT_EQ(lines.size(), 2u + kThreads * kPerThread);
    std::map<int, int> nextOfThread;
    const std::regex request(R"(ECHO t(\d+)-(\d+) \+ID(\d+))");
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, request)) << lines[i];
        const int t = std::stoi(m[1]), n = std::stoi(m[2]);
        EXPECT_EQ(n, nextOfThread[t]++) << lines[i];
        EXPECT_EQ(std::stoi(m[3]), t * 1000 + n);
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string id = std::to_string(t * 1000 + i);
            const auto reply = replies.get(id);
            EXPECT_EQ(reply.response, "t" + std::to_string(t) + "-" + std::to_string(i));
            EXPECT_EQ(reply.id, id);
            EXPECT_NE(reply.thread, c.connection->ioThreadId());
        }
    }
}

TEST(QosControlConnection, OutOfOrderRepliesReachTheirOwnCallbacks) {
    QosServerOptions options;
    options.replyBatch = 5;  // held, then sent last first
    Connected c(options);
    ASSERT_TRUE(c.ok);
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    for (int i = 1; i <= 5; ++i)
        c.connection->sendRequest("ECHO reply " + std::to_string(i), std::to_string(i), replies.callback(std::to_string(i)));
    ASSERT_TRUE(replies.waitFor(5));
    const auto lines = c.server.controlLines();
    for (int i = 1; i <= 5; ++i) {
        const auto reply = replies.get(std::to_string(i));
        EXPECT_EQ(reply.response, "reply " + std::to_string(i));
        EXPECT_EQ(reply.id, std::to_string(i));
        EXPECT_NE(reply.thread, c.connection->ioThreadId());
        EXPECT_NE(reply.thread, std::this_thread::get_id());
    }
}

// Lines without a tag, with an id nobody waits for, with an empty id, and a
// second reply for an answered id are dropped; the next reply still arrives.
TEST(QosControlConnection, DropsRepliesWithUnknownOrMissingIds) {
    QosServerOptions options;
    options.extraLinesBeforeReplies = {"OK", "OK +ID999", "OK +ID", "garbage", "", "OK\r +ID", "+ID1"};
    options.duplicateReplies = true;
    Connected c(options);
    ASSERT_TRUE(c.ok);
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    c.connection->sendRequest("ECHO first", "1", replies.callback("1"));
    ASSERT_TRUE(replies.waitFor(1));
    c.connection->sendRequest("ECHO second", "2", replies.callback("2"));
    ASSERT_TRUE(replies.waitFor(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(replies.count("1"), 1u);
    EXPECT_EQ(replies.count("2"), 1u);
    EXPECT_EQ(replies.get("1").response, "first");
    EXPECT_EQ(replies.get("2").response, "second");
}

TEST(QosControlConnection, SecondRequestWithTheSameIdReplacesTheFirstCallback) {
    QosServerOptions options;
    options.replyBatch = 3;
    options.reverseBatch = false;
    Connected c(options);
    ASSERT_TRUE(c.ok);
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    c.connection->sendRequest("ECHO A", "5", replies.callback("first"));
    c.connection->sendRequest("ECHO B", "5", replies.callback("second"));
    c.connection->sendRequest("ECHO done", "6", replies.callback("done"));
    ASSERT_TRUE(replies.waitFor(2));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(replies.count("first"), 0u);
    ASSERT_EQ(replies.count("second"), 1u);
    EXPECT_EQ(replies.get("second").response, "A");
    EXPECT_EQ(replies.count("done"), 1u);
}

TEST(QosControlConnection, ThrowingCallbackDoesNotEndTheProcess) {
    Connected c;
    ASSERT_TRUE(c.ok);
    auto thrown = std::make_shared<std::atomic<int>>(0);
    c.connection->sendRequest("ECHO a", "1", [thrown](std::string, std::string) {
        ++*thrown;
        throw std::runtime_error("callback failure");
    });
    c.connection->sendRequest("ECHO b", "2", [thrown](std::string, std::string) {
        ++*thrown;
        throw 42;
    });
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    c.connection->sendRequest("ECHO c", "3", replies.callback("3"));
    ASSERT_TRUE(replies.waitFor(1));
    for (int i = 0; i < 100 && *thrown < 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(*thrown, 2);
}

// A reply line over 64 KiB is dropped, and only that line: reading goes on
// and the replies after it arrive; the buffer stays bounded meanwhile.
TEST(QosControlConnection, OverlongReplyLineIsDroppedAlone) {
    using LongLine = QosServerOptions::LongLine;
    struct Case {
        const char* name;
        LongLine where;
        std::size_t bytes;
        std::vector<std::string> arriving;  // ids whose replies arrive
    };
    const std::vector<Case> cases = {
        {"60 KiB untagged line, under the bound", LongLine::Reply, 60 * 1024, {"1", "2", "3"}},
        {"70 KiB untagged line", LongLine::Reply, 70 * 1024, {"1", "2", "3"}},
        {"4 MiB untagged line", LongLine::Reply, 4 * 1024 * 1024, {"1", "2", "3"}},
        {"70 KiB reply of the first request", LongLine::FirstReply, 70 * 1024, {"2", "3"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        QosServerOptions options;
        options.longLine = testCase.where;
        options.longLineBytes = testCase.bytes;
        Connected c(options);
        ASSERT_TRUE(c.ok);
        auto repliesRecord = std::make_shared<Replies>();
        Replies& replies = *repliesRecord;
        c.connection->sendRequest("ECHO one", "1", replies.callback("1"));
        ASSERT_TRUE(c.server.waitForControlLines(3, 2s));
        c.connection->sendRequest("ECHO two", "2", replies.callback("2"));
        c.connection->sendRequest("ECHO three", "3", replies.callback("3"));
        ASSERT_TRUE(replies.waitFor(testCase.arriving.size(), 5s));
        for (const auto& id : testCase.arriving) EXPECT_EQ(replies.count(id), 1u) << id;
        EXPECT_EQ(replies.get(testCase.arriving.back()).response, "three");
        if (testCase.where == LongLine::FirstReply) {
            // Its reply is gone; the others are not held behind it.
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(replies.count("1"), 0u);
        }
    }
}

// A reply that arrives in the same segment as the handshake's last line is
// still delivered; the request registered before the handshake goes out
// after it.
TEST(QosControlConnection, KeepsRepliesReadWithTheHandshake) {
    lumivex::test_peers::RawTcpPeer peer({.script = {"G1\nG2\n", "OK\nA\nOK\nearly +ID1\n"},
                                          .pause = 100ms});
    QosControlConnection connection("127.0.0.1", peer.port(), false, kToken, 2s);
    auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
    // Registered before the handshake, so the early reply has a callback.
    connection.sendRequest("ECHO early", "1", replies.callback("1"));
    ASSERT_TRUE(connection.connect());
    ASSERT_TRUE(replies.waitFor(1));
    EXPECT_EQ(replies.get("1").response, "early");
    const std::string expected = kToken + "\nREQUEST CONN TIMEOUT 600000\nECHO early +ID1\n";
    EXPECT_EQ(peer.received(expected.size(), 2s), expected);
}

// Requests queued before or while the handshake runs are held until it has
// succeeded: the token line is always the first line the server reads. After
// a failed handshake nothing more is written.
TEST(QosControlConnection, RequestsWaitForTheHandshake) {
    {
        SCOPED_TRACE("handshake succeeds");
        QosServer server;
        server.start();
        QosControlConnection connection("127.0.0.1", server.controlPort(), false, kToken, 2s);
        auto repliesRecord = std::make_shared<Replies>();
        Replies& replies = *repliesRecord;
        connection.sendRequest("ECHO first", "1", replies.callback("1"));
        connection.sendRequest("ECHO second", "2", replies.callback("2"));
        ASSERT_TRUE(connection.connect());
        ASSERT_TRUE(replies.waitFor(2));
        EXPECT_EQ(replies.get("1").response, "first");
        EXPECT_EQ(replies.get("2").response, "second");
        EXPECT_EQ(server.controlLines(), (std::vector<std::string>{kToken, "REQUEST CONN TIMEOUT 600000",
                                                                    "ECHO first +ID1", "ECHO second +ID2"}));
    }
    {
        SCOPED_TRACE("handshake refused");
        QosServerOptions options;
        options.tokenReply = "ERR";
        QosServer server(options);
        server.start();
        QosControlConnection connection("127.0.0.1", server.controlPort(), false, kToken, 2s);
        auto repliesRecord = std::make_shared<Replies>();
        Replies& replies = *repliesRecord;
        connection.sendRequest("ECHO early", "1", replies.callback("1"));
        EXPECT_FALSE(connection.connect());
        connection.sendRequest("ECHO late", "2", replies.callback("2"));
        EXPECT_FALSE(replies.waitFor(1, 100ms));
        EXPECT_EQ(server.controlLines(), std::vector<std::string>{kToken});
    }
}

// Destruction is prompt whether the server is silent, has closed mid-line or
// still has requests queued.
TEST(QosControlConnection, DestructionIsPrompt) {
    QosServerOptions silent;
    silent.silence = QosServerOptions::Silence::Commands;
    QosServerOptions closing;
    closing.closeMidLine = QosServerOptions::CloseMidLine::Reply;
    for (const auto& options : {silent, closing}) {
        Connected c(options);
        ASSERT_TRUE(c.ok);
        auto repliesRecord = std::make_shared<Replies>();
    Replies& replies = *repliesRecord;
        for (int i = 0; i < 20; ++i) c.connection->sendRequest("ECHO x", std::to_string(i), replies.callback("x"));
        c.server.waitForControlLines(3, 1s);
        std::this_thread::sleep_for(30ms);
        const auto start = Clock::now();
        c.connection.reset();
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_EQ(replies.count("x"), 0u);
    }
}

// The reply matcher gives what the ECMAScript search "(.*)\s+\+ID([\d]*)" gives.
TEST(QosReplyMatcher, SplitsResponseAndId) {
    struct Case {
        std::string line;
        bool matches;
        std::string response;
        std::string id;
    };
    const std::vector<Case> cases = {
        {"OK +ID12", true, "OK", "12"},
        {"OK +ID12\r", true, "OK", "12"},
        {"RCV 5 5 {\"a\":1} +ID3", true, "RCV 5 5 {\"a\":1}", "3"},
        {"OK +ID", true, "OK", ""},
        {"OK", false, "", ""},
        {"OK+ID1", false, "", ""},
        {"OK   +ID7", true, "OK  ", "7"},
        {"a +ID1 b +ID2", true, "a +ID1 b", "2"},
        {"a +ID1 b +IDx", true, "a +ID1 b", ""},
        {"OK\r +ID4", true, "OK", "4"},
        {"x\ry +ID4", true, "y", "4"},
        {" +ID9", true, "", "9"},
        {"\t+ID9abc", true, "", "9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto reply = matchQosReply(c.line);
        ASSERT_EQ(reply.has_value(), c.matches);
        if (!reply) continue;
        EXPECT_EQ(reply->response, c.response);
        EXPECT_EQ(reply->id, c.id);
    }
}

TEST(QosReplyMatcher, AgreesWithTheStandardRegexSearch) {
    const std::regex pattern(R"((.*)\s+\+ID([\d]*))", std::regex::ECMAScript);
    const std::string alphabet = "a +ID1\t\r\v\n7xI";
    std::mt19937 random(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        const int length = static_cast<int>(random() % 14);
        for (int k = 0; k < length; ++k) line += alphabet[random() % alphabet.size()];
        if (random() % 3 == 0) line.insert(random() % (line.size() + 1), " +ID");
        std::smatch m;
        const bool expected = std::regex_search(line, m, pattern);
        const auto reply = matchQosReply(line);
        ASSERT_EQ(reply.has_value(), expected) << '"' << line << '"';
        if (!expected) continue;
        ASSERT_EQ(reply->response, m[1].str()) << '"' << line << '"';
        ASSERT_EQ(reply->id, m[2].str()) << '"' << line << '"';
    }
}

TEST(QosReplyMatcher, HandlesVeryLongLinesWithoutRecursion) {
    const std::string line = std::string(1 << 20, 'x') + " +ID77";
    const auto reply = matchQosReply(line);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, "77");
    EXPECT_EQ(reply->response.size(), std::size_t{1} << 20);
    EXPECT_FALSE(matchQosReply(std::string(1 << 20, ' ')));
}

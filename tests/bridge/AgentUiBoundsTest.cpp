// The real agent's UI socket against UIs that misbehave, each a raw socket
// or the UI client: a half frame, a burst of connections, a socket someone
// else may have put there; and the entry-point arguments a UI is greeted
// with.

#include "AgentHarness.h"

#include "platform/flutter/UiClient.h"

#include <poll.h>

using namespace bridge_test;

namespace {

using Clock = std::chrono::steady_clock;

// The agent's bound on an incomplete frame (UiLimits).
constexpr auto kFrameBound = 5000ms;

class AgentUiBoundsTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& arguments = {}) {
        ASSERT_FALSE(dir.path().empty());
        std::vector<std::string> argv{agentBinary()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        agent = std::make_unique<Child>(argv, std::vector<std::string>{"LUMIVEX_UI_SOCKET=" + socket}, dir.path(),
                                        dir.file("agent.out"), dir.file("agent.err"));
        ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    }
    void TearDown() override {
        if (!agent) return;
        runDriver(socket, {"--quit"});
        auto status = agent->wait(20s);
        ASSERT_TRUE(status) << "the agent did not end";
        EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file("agent.err"));
        EXPECT_FALSE(exists(socket));
        EXPECT_FALSE(exists(socket + ".lock"));
    }
    // One call through the UI client; its reply, or the reason it failed.
    std::string callWindowScale(std::chrono::milliseconds bound = 2s) {
        flutter::UiClient ui;
        if (!ui.Connect(socket, bound)) return ui.error();
        auto r = ui.InvokeMethod(kSystem, "requestWindowScale", flutter::EncodableValue(), bound);
        return r && r->kind == flutter::MethodReply::Kind::Success ? "answered" : "no answer";
    }

    PrivateDir dir;
    std::string socket = dir.file("ui.sock");
    std::unique_ptr<Child> agent;
};

std::string payloadText(const flutter::wire::Frame& f) { return std::string(f.payload.begin(), f.payload.end()); }

TEST_F(AgentUiBoundsTest, AHalfFrameEndsItsConnectionAfterTheBoundAndTheNextUiIsServed) {
    start();
    const int fd = connectRaw(socket, 10s);
    ASSERT_GE(fd, 0);
    const auto connected = Clock::now();
    const std::uint8_t half[] = {40, 0, 0};  // three of a header's four bytes
    ASSERT_TRUE(flutter::wire::writeAll(fd, half, sizeof half));
    auto hello = flutter::wire::readFrame(fd);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->kind, flutter::wire::FrameKind::Hello);

    // Meanwhile another UI is refused at once, with the reason.
    const auto asked = Clock::now();
    EXPECT_EQ(callWindowScale(), "the agent at " + socket + " refused the connection: another UI is connected to this agent");
    EXPECT_LT(Clock::now() - asked, 1s);

    // At the bound the half frame's connection ends, saying why.
    auto closing = flutter::wire::readFrame(fd);
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->kind, flutter::wire::FrameKind::Close);
    EXPECT_EQ(payloadText(*closing), "no frame within 5000 ms");
    char b;
    EXPECT_EQ(::recv(fd, &b, 1, 0), 0);
    ::close(fd);
    EXPECT_GE(Clock::now() - connected, kFrameBound - 100ms);

    // A connection that never completed a frame was no UI: the agent stays
    // and answers the next UI within a second after the bound.
    EXPECT_EQ(callWindowScale(), "answered");
    EXPECT_LT(Clock::now() - connected, kFrameBound + 1s);
}

TEST_F(AgentUiBoundsTest, OfTwoHundredConnectionsOneIsServedAndEveryOtherRefusedAtOnce) {
    start();
    constexpr int kConnections = 200;
    struct Connection {
        int fd = -1;
        std::vector<flutter::wire::Frame> frames;
        bool ended = false;
        Clock::duration endedAfter{};
    };
    std::vector<Connection> connections(kConnections);
    int refusedByKernel = 0;
    const auto begun = Clock::now();
    for (auto& c : connections) {
        c.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(c.fd, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, socket.c_str(), socket.size() + 1);
        if (::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            // A full backlog; the UI client tries again (none expected).
            ++refusedByKernel;
            ::close(c.fd);
            c.fd = -1;
            c.ended = true;
        }
    }
    EXPECT_EQ(refusedByKernel, 0);
    // Every connection is read to its end; the one served ends at the frame
    // bound, as it sends nothing. Nothing may still hang a second later.
    const auto deadline = begun + kFrameBound + 1s;
    std::vector<flutter::wire::FrameReader> readers(kConnections);
    for (bool open = true; open && Clock::now() < deadline;) {
        std::vector<pollfd> fds;
        std::vector<int> index;
        for (int i = 0; i < kConnections; ++i) {
            if (!connections[i].ended) {
                fds.push_back({connections[i].fd, POLLIN, 0});
                index.push_back(i);
            }
        }
        open = !fds.empty();
        if (!open || ::poll(fds.data(), fds.size(), 50) <= 0) continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) continue;
            Connection& c = connections[index[k]];
            std::uint8_t buffer[4096];
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                c.ended = true;
                c.endedAfter = Clock::now() - begun;
                continue;
            }
            readers[index[k]].feed(buffer, static_cast<std::size_t>(n));
            while (auto f = readers[index[k]].next()) c.frames.push_back(std::move(*f));
        }
    }
    int served = 0, refused = 0;
    for (auto& c : connections) {
        EXPECT_TRUE(c.ended) << "a connection was left hanging";
        if (c.fd >= 0) ::close(c.fd);
        if (!c.frames.empty() && c.frames[0].kind == flutter::wire::FrameKind::Hello) {
            ++served;
            continue;
        }
        ASSERT_EQ(c.frames.size(), 1u);
        EXPECT_EQ(c.frames[0].kind, flutter::wire::FrameKind::Close);
        EXPECT_EQ(payloadText(c.frames[0]), "another UI is connected to this agent");
        EXPECT_LT(c.endedAfter, 2s);
        ++refused;
    }
    EXPECT_EQ(served, 1);
    EXPECT_EQ(refused, kConnections - 1);
    // The agent serves the next UI.
    EXPECT_EQ(callWindowScale(), "answered");
}

TEST_F(AgentUiBoundsTest, TheUiRefusesASocketSomeoneElseCouldHavePutThere) {
    start();
    ASSERT_EQ(::getuid(), 0u) << "changing a socket's owner needs root";
    struct Case {
        const char* name;
        std::function<void()> make, undo;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"owned by another user", [&] { ASSERT_EQ(::lchown(socket.c_str(), 65534, 65534), 0); },
         [&] { ASSERT_EQ(::lchown(socket.c_str(), 0, 0), 0); },
         "refusing the UI socket " + socket + ": it belongs to another user (uid 65534)"},
        {"in a directory others may write", [&] { ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0); },
         [&] { ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0); },
         "refusing the UI socket " + socket + ": its directory " + dir.path() + " may be written by other users"},
        {"in a directory of another user", [&] { ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0); },
         [&] { ASSERT_EQ(::chown(dir.path().c_str(), 0, 0), 0); },
         "refusing the UI socket " + socket + ": its directory " + dir.path() + " may be written by other users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const auto asked = Clock::now();
        DriverRun run = runDriver(socket, call(kSystem, "requestWindowScale", "null"), 10s, 5000,
                                  {}, dir.file("driver.err"));
        c.undo();
        ASSERT_TRUE(run.status && run.status->exited) << run.output;
        EXPECT_EQ(run.status->code, 3);  // the agent could not be reached
        EXPECT_TRUE(run.lines.empty()) << "the UI talked to the socket: " << run.output;
        EXPECT_LT(Clock::now() - asked, 2s);
        EXPECT_EQ(readFile(dir.file("driver.err")), "lumivex-cli: " + c.error + "\n");  // one line
        c.make();
        EXPECT_EQ(callWindowScale(), c.error);
        c.undo();
    }
}

TEST_F(AgentUiBoundsTest, AMissingSocketIsReportedAtOnce) {
    const auto asked = Clock::now();
    Child driver({driverBinary(), "--socket", dir.file("none/ui.sock"), "--call", kSystem, "requestWindowScale", "null"},
                 {}, "", dir.file("driver.out"), dir.file("driver.err"));
    auto status = driver.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 3) << status->text();  // the agent could not be reached
    EXPECT_LT(Clock::now() - asked, 1s);
    EXPECT_EQ(readFile(dir.file("driver.err")),
              "lumivex-cli: no UI socket at " + dir.file("none/ui.sock") + " (is lumivex running?)\n");
}

TEST_F(AgentUiBoundsTest, TheUiIsGreetedWithItsEntryPointArguments) {
    // After "--" every argument goes to the UI; one that is not UTF-8
    // arrives as an empty text.
    start({"--", "first", "-second", "gr\xc3\xbc\xc3\x9f", "bad\xff", ""});
    const int fd = connectRaw(socket);
    ASSERT_GE(fd, 0);
    auto hello = flutter::wire::readFrame(fd);
    ASSERT_TRUE(hello);
    ASSERT_EQ(hello->kind, flutter::wire::FrameKind::Hello);
    const auto value = flutter::StandardMessageCodec::GetInstance().DecodeMessage(hello->payload);
    const flutter::EncodableList expected{flutter::EncodableValue("first"), flutter::EncodableValue("-second"),
                                          flutter::EncodableValue("gr\xc3\xbc\xc3\x9f"), flutter::EncodableValue(""),
                                          flutter::EncodableValue("")};
    EXPECT_EQ(value, flutter::EncodableValue(expected));
    ::close(fd);

    // The agent frees its place once it has seen the raw UI go.
    flutter::UiClient ui;
    const auto deadline = Clock::now() + 2s;
    while (!ui.Connect(socket, 2s) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(ui.connected()) << ui.error();
    EXPECT_EQ(ui.entrypointArguments(), (std::vector<std::string>{"first", "-second", "gr\xc3\xbc\xc3\x9f", "", ""}));
}

}  // namespace

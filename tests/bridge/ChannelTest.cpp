// Method and event channels over the UI socket: calls reach their handlers,
// every kind of reply comes back, subscriptions deliver events, and the UI
// can end the session.

#include "BridgeFixture.h"

#include "platform/flutter/EventChannel.h"
#include "platform/flutter/MethodChannel.h"
#include "platform/flutter/UiSocket.h"
#include "platform/flutter/UiWire.h"

#include <malloc.h>
#include <sys/ioctl.h>

#include <cstring>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

using namespace bridge_test;
using flutter::EncodableValue;
using flutter::MethodReply;

namespace {

class ChannelTest : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        flutter::MethodChannel channel(engine->messenger(), "test/methods",
                                       &flutter::StandardMethodCodec::GetInstance());
        channel.SetMethodCallHandler([this](const flutter::MethodCall& call,
                                            std::unique_ptr<flutter::MethodResult> result) {
            handlerThread = std::this_thread::get_id();
            const auto& m = call.method_name();
            if (m == "echo") {
                result->Success(*call.arguments());
            } else if (m == "nothing") {
                result->Success();
            } else if (m == "fail") {
                EncodableValue details(EncodableValue(flutter::EncodableList{EncodableValue(1), EncodableValue("d")}));
                result->Error("code", "message", &details);
            } else if (m == "later") {
                // Answered from a worker thread, twice: only the first counts.
                std::thread([r = std::move(result)] {
                    std::this_thread::sleep_for(20ms);
                    r->Success(EncodableValue("from worker"));
                    r->Success(EncodableValue("again"));
                }).detach();
            } else if (m == "block") {
                blocker.wait();
                result->Success();
            } else if (m == "throw") {
                throw std::runtime_error("boom");
            } else {
                result->NotImplemented();
            }
        });
        connect();
    }
    std::thread::id handlerThread;
    std::shared_future<void> blocker;
};

TEST_F(ChannelTest, RepliesOfEveryKindComeBack) {
    EncodableValue args = map({{"a", EncodableValue(1.5)}, {"list", EncodableValue(std::vector<std::int32_t>{1, 2})}});
    auto r = ui.InvokeMethod("test/methods", "echo", args, 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
    EXPECT_EQ(r->value, args);
    EXPECT_EQ(handlerThread, loop.get_id());  // handlers run on the platform thread

    r = ui.InvokeMethod("test/methods", "nothing", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
    EXPECT_TRUE(r->value.IsNull());

    r = ui.InvokeMethod("test/methods", "fail", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Error);
    EXPECT_EQ(r->errorCode, "code");
    EXPECT_EQ(r->errorMessage, "message");
    EXPECT_EQ(r->value, EncodableValue(flutter::EncodableList{EncodableValue(1), EncodableValue("d")}));

    r = ui.InvokeMethod("test/methods", "other", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::NotImplemented);

    r = ui.InvokeMethod("test/methods", "later", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->value, EncodableValue("from worker"));
}

TEST_F(ChannelTest, CallsThatCannotBeServedStillGetAnAnswer) {
    // No handler on the channel.
    auto r = ui.InvokeMethod("test/nobody", "m", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::NotImplemented);
    // A throwing handler drops its result, which answers "not implemented",
    // and the platform loop keeps running.
    r = ui.InvokeMethod("test/methods", "throw", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::NotImplemented);
    // An undecodable call is answered with an error.
    auto raw = ui.SendRaw("test/methods", flutter::ByteBuffer{7, 50, 'x'}, 2s);
    ASSERT_TRUE(raw);
    auto decoded = flutter::StandardMethodCodec::GetInstance().DecodeEnvelope(raw->data(), raw->size());
    EXPECT_EQ(decoded.kind, MethodReply::Kind::Error);
    EXPECT_EQ(decoded.errorCode, "Invalid method call");
    r = ui.InvokeMethod("test/methods", "nothing", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
}

class RecordingHandler : public flutter::StreamHandler {
public:
    std::mutex mutex;
    std::unique_ptr<flutter::EventSink> sink;
    EncodableValue listenArgs;
    int cancels = 0;

protected:
    std::unique_ptr<flutter::StreamHandlerError> OnListenInternal(const EncodableValue* args,
                                                                  std::unique_ptr<flutter::EventSink>&& events) override {
        std::lock_guard lock(mutex);
        if (args && *args == EncodableValue("refuse")) return std::make_unique<flutter::StreamHandlerError>("no", "refused");
        listenArgs = args ? *args : EncodableValue();
        sink = std::move(events);
        return nullptr;
    }
    std::unique_ptr<flutter::StreamHandlerError> OnCancelInternal(const EncodableValue*) override {
        std::lock_guard lock(mutex);
        sink.reset();
        ++cancels;
        return nullptr;
    }
};

TEST_F(ChannelTest, EventChannelsDeliverListenCancelAndEvents) {
    auto owned = std::make_unique<RecordingHandler>();
    RecordingHandler* handler = owned.get();
    onPlatform([&] {
        flutter::EventChannel(engine->messenger(), "test/events", &flutter::StandardMethodCodec::GetInstance())
            .SetStreamHandler(std::move(owned));
    });
    auto r = ui.Cancel("test/events", 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Error);  // nothing to cancel

    r = ui.Listen("test/events", 2s, EncodableValue("refuse"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Error);
    EXPECT_EQ(r->errorCode, "no");
    EXPECT_EQ(r->errorMessage, "refused");

    r = ui.Listen("test/events", 2s, EncodableValue(7));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
    {
        std::lock_guard lock(handler->mutex);
        EXPECT_EQ(handler->listenArgs, EncodableValue(7));
        ASSERT_TRUE(handler->sink);
        // Events may come from any thread.
        std::thread([&] {
            handler->sink->Success(EncodableValue("one"));
            EncodableValue details(2);
            handler->sink->Error("bad", "event", &details);
            handler->sink->EndOfStream();
        }).join();
    }
    auto e = ui.NextEvent(2s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->channel, "test/events");
    EXPECT_EQ(e->kind, flutter::UiEvent::Kind::Success);
    EXPECT_EQ(e->value, EncodableValue("one"));
    e = ui.NextEvent(2s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, flutter::UiEvent::Kind::Error);
    EXPECT_EQ(e->errorCode, "bad");
    EXPECT_EQ(e->errorMessage, "event");
    EXPECT_EQ(e->value, EncodableValue(2));
    e = ui.NextEvent(2s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, flutter::UiEvent::Kind::EndOfStream);

    // A second listen cancels the first subscription.
    r = ui.Listen("test/events", 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(handler->cancels, 1);
    r = ui.Cancel("test/events", 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
    EXPECT_EQ(handler->cancels, 2);
    std::lock_guard lock(handler->mutex);
    EXPECT_FALSE(handler->sink);
}

TEST_F(ChannelTest, TheUiEndsTheSessionByQuitOrByGoingAway) {
    ui.SendQuit();
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (quitRequests == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(quitRequests, 1);
    ui.Close();
    while (quitRequests < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(quitRequests, 2);
}

TEST_F(ChannelTest, MalformedFramesEndOnlyThatConnection) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ui.Close();  // one UI at a time
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, engine->socketPath().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    std::uint8_t bad[] = {3, 0, 0, 0, 9, 9, 9};  // unknown frame kind
    ASSERT_TRUE(flutter::wire::writeAll(fd, bad, sizeof bad));
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // The hello, then a close frame saying why, then the end of the stream.
    auto hello = flutter::wire::readFrame(fd);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->kind, flutter::wire::FrameKind::Hello);
    auto closing = flutter::wire::readFrame(fd);
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->kind, flutter::wire::FrameKind::Close);
    EXPECT_EQ(std::string(closing->payload.begin(), closing->payload.end()), "a malformed frame");
    char b;
    EXPECT_EQ(::recv(fd, &b, 1, 0), 0);  // the engine closed it
    ::close(fd);
    // The engine accepts the next UI.
    flutter::UiClient again;
    ASSERT_TRUE(again.Connect(engine->socketPath(), 2s));
    auto r = again.InvokeMethod("test/methods", "nothing", EncodableValue(), 2s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, MethodReply::Kind::Success);
}

TEST_F(ChannelTest, AFloodingUiIsReadOnlyAsFastAsThePlatformThreadHandlesIt) {
    std::promise<void> unblock;
    std::shared_future<void> released = unblock.get_future().share();
    onPlatform([&] { blocker = released; });  // the handler reads it there
    ui.Close();  // one UI at a time: this test talks on a raw connection
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, engine->socketPath().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    auto frame = [](std::uint32_t id, const char* method) {
        flutter::wire::Frame f;
        f.kind = flutter::wire::FrameKind::Message;
        f.id = id;
        f.channel = "test/methods";
        f.payload = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(flutter::MethodCall(method, EncodableValue()));
        return flutter::wire::encodeFrame(f);
    };
    // The first call holds the platform thread; the UI keeps writing.
    auto first = frame(1, "block");
    ASSERT_TRUE(flutter::wire::writeAll(fd, first.data(), first.size()));
    constexpr std::uint32_t kCalls = 5000;
    std::thread writer([&] {
        for (std::uint32_t id = 2; id <= kCalls; ++id) {
            auto bytes = frame(id, "nothing");
            if (!flutter::wire::writeAll(fd, bytes.data(), bytes.size())) return;
        }
    });
    // The engine stops reading at its bound instead of queueing everything.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (engine->pendingFrames() < flutter::HeadlessEngine::kMaxPendingFrames &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(engine->pendingFrames(), flutter::HeadlessEngine::kMaxPendingFrames);
        std::this_thread::sleep_for(5ms);
    }
    unblock.set_value();
    // Then every call is read and answered.
    std::set<std::uint32_t> answered;
    while (answered.size() < kCalls) {
        auto reply = flutter::wire::readFrame(fd);
        if (!reply) break;
        if (reply->kind == flutter::wire::FrameKind::Reply) answered.insert(reply->id);
    }
    writer.join();
    ::close(fd);
    EXPECT_EQ(answered.size(), kCalls);
    EXPECT_EQ(engine->pendingFrames(), 0u);
}

// A UI that does not take its bytes, with bounds small enough to watch.
class StalledUiTest : public EngineFixture, public ::testing::WithParamInterface<int> {
protected:
    struct Case {
        const char* name;
        flutter::UiLimits limits;
        std::string reason;
    };
    static const Case& theCase(int i) {
        static const Case cases[] = {
            {"QueueOverflow", {std::chrono::milliseconds(30000), std::chrono::milliseconds(5000), 256u * 1024u},
             "more than 262144 bytes waited for the UI"},
            {"Stall", {std::chrono::milliseconds(300), std::chrono::milliseconds(5000), 64u * 1024u * 1024u},
             "the UI did not take its bytes for 300 ms"},
        };
        return cases[i];
    }
    flutter::UiLimits limits() const override { return theCase(GetParam()).limits; }
};

TEST_P(StalledUiTest, SendsNeverWaitAndTheUiIsDroppedAsIfItHadGone) {
    const Case& c = theCase(GetParam());
    auto owned = std::make_unique<RecordingHandler>();
    RecordingHandler* handler = owned.get();
    onPlatform([&] {
        flutter::EventChannel(engine->messenger(), "test/events", &flutter::StandardMethodCodec::GetInstance())
            .SetStreamHandler(std::move(owned));
    });
    ui.Close();  // this test talks on a raw connection
    // The engine frees its place once it has seen the fixture's client go.
    int fd = -1;
    for (const auto until = std::chrono::steady_clock::now() + 2s; fd < 0 && std::chrono::steady_clock::now() < until;) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, engine->socketPath().c_str());
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        auto first = flutter::wire::readFrame(fd);
        if (!first || first->kind != flutter::wire::FrameKind::Hello) {
            ::close(fd);
            fd = -1;
            std::this_thread::sleep_for(5ms);
        }
    }
    ASSERT_GE(fd, 0);
    flutter::wire::Frame listen;
    listen.kind = flutter::wire::FrameKind::Message;
    listen.channel = "test/events";
    listen.payload = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(flutter::MethodCall("listen", EncodableValue()));
    const auto bytes = flutter::wire::encodeFrame(listen);
    ASSERT_TRUE(flutter::wire::writeAll(fd, bytes.data(), bytes.size()));
    const int quitsBefore = quitRequests;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool listening = false;
    while (!listening && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        std::lock_guard lock(handler->mutex);
        listening = handler->sink != nullptr;
    }
    ASSERT_TRUE(listening);
    // Events of 16 KiB, far more than the socket holds, and never read.
    const EncodableValue event(std::string(16 * 1024, 'e'));
    std::chrono::steady_clock::duration longest{};
    while (quitRequests == quitsBefore && std::chrono::steady_clock::now() < deadline) {
        const auto before = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(handler->mutex);
            if (handler->sink) handler->sink->Success(event);
        }
        longest = std::max(longest, std::chrono::steady_clock::now() - before);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(quitRequests, quitsBefore + 1) << "the UI was not dropped";
    // A send that waited for this UI would wait until it was dropped; with
    // the long stall bound that is far beyond any scheduling delay.
    if (c.limits.stall > 10s) EXPECT_LT(longest, 2s) << "a send waited for the UI";
    EXPECT_EQ(engine->queuedBytes(), 0u);
    // What the UI gets when it reads at last: the queued frames whole, then
    // the end of the stream (no close frame can follow a frame cut short).
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::size_t events = 0;
    std::optional<std::string> closeReason;
    while (auto f = flutter::wire::readFrame(fd)) {
        if (f->kind == flutter::wire::FrameKind::Message) ++events;
        if (f->kind == flutter::wire::FrameKind::Close) closeReason.emplace(f->payload.begin(), f->payload.end());
    }
    ::close(fd);
    EXPECT_GT(events, 0u);
    if (closeReason) EXPECT_EQ(*closeReason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(Bounds, StalledUiTest, ::testing::Range(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == 0 ? "QueueOverflow" : "Stall");
                         });

// The frame bound times each frame, not a stream of them.
class ShortFrameBoundTest : public ChannelTest {
protected:
    flutter::UiLimits limits() const override {
        return {std::chrono::milliseconds(5000), std::chrono::milliseconds(1000), 16u * 1024u * 1024u};
    }
};

TEST_F(ShortFrameBoundTest, FramesThatKeepArrivingInPiecesOutlastTheBoundAndAHalfFrameDoesNot) {
    ui.Close();  // this test talks on raw connections
    auto rawUi = [&] {
        for (const auto until = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < until;) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strcpy(addr.sun_path, engine->socketPath().c_str());
            timeval tv{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
                auto first = flutter::wire::readFrame(fd);
                if (first && first->kind == flutter::wire::FrameKind::Hello) return fd;
            }
            ::close(fd);
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    };
    auto frame = [](std::uint32_t id) {
        flutter::wire::Frame f;
        f.kind = flutter::wire::FrameKind::Message;
        f.id = id;
        f.channel = "test/methods";
        f.payload = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(flutter::MethodCall("nothing", EncodableValue()));
        return flutter::wire::encodeFrame(f);
    };
    // Each write completes one frame and begins the next, for 2.5 bounds.
    int fd = rawUi();
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> stream;
    constexpr std::uint32_t kFrames = 50;
    for (std::uint32_t id = 1; id <= kFrames; ++id) {
        auto bytes = frame(id);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    const std::size_t step = stream.size() / kFrames;
    for (std::size_t at = step / 2; at < stream.size(); at += step) {
        const std::size_t n = std::min(step, stream.size() - at);
        if (!flutter::wire::writeAll(fd, stream.data() + (at == step / 2 ? 0 : at), at == step / 2 ? at + n : n)) {
            std::string why = "no close frame";
            while (auto f = flutter::wire::readFrame(fd)) {
                if (f->kind == flutter::wire::FrameKind::Close) why.assign(f->payload.begin(), f->payload.end());
            }
            FAIL() << "the engine ended the stream at byte " << at << ": " << why;
        }
        std::this_thread::sleep_for(50ms);
    }
    std::set<std::uint32_t> answered;
    while (answered.size() < kFrames) {
        auto reply = flutter::wire::readFrame(fd);
        if (!reply || reply->kind != flutter::wire::FrameKind::Reply) break;
        answered.insert(reply->id);
    }
    EXPECT_EQ(answered.size(), kFrames);

    // Half a frame, then silence: the connection ends at the bound.
    auto bytes = frame(kFrames + 1);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(flutter::wire::writeAll(fd, bytes.data(), bytes.size() / 2));
    auto closing = flutter::wire::readFrame(fd);
    ASSERT_TRUE(closing);
    EXPECT_EQ(closing->kind, flutter::wire::FrameKind::Close);
    EXPECT_EQ(std::string(closing->payload.begin(), closing->payload.end()), "a frame not completed within 1000 ms");
    const auto after = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(after, 950ms);
    EXPECT_LT(after, 4s);
    ::close(fd);
}

// Bytes the allocator holds for the program: in use in the arenas plus the
// blocks it mapped on their own (large buffers).
std::size_t heldHeapBytes() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST(UiWire, AFrameIsReadIntoMemoryAsItsBytesArrive) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    // A complete frame of several mebibytes comes through whole.
    flutter::wire::Frame big;
    big.kind = flutter::wire::FrameKind::Reply;
    big.id = 7;
    big.payload.resize(3u * 1024u * 1024u);
    for (std::size_t i = 0; i < big.payload.size(); ++i) big.payload[i] = static_cast<std::uint8_t>(i * 31u);
    const auto bytes = flutter::wire::encodeFrame(big);
    std::thread writer([&] { flutter::wire::writeAll(fds[1], bytes.data(), bytes.size()); });
    auto read = flutter::wire::readFrame(fds[0]);
    writer.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->id, 7u);
    EXPECT_EQ(read->payload, big.payload);

    // A header that claims the largest frame, then 100 bytes and silence:
    // the reader holds about what arrived, not what the header claims.
    const std::size_t before = heldHeapBytes();
    std::vector<std::uint8_t> claim(4 + 100, 2);
    const auto claimed = static_cast<std::uint32_t>(flutter::wire::kMaxFrameSize);
    for (int i = 0; i < 4; ++i) claim[i] = static_cast<std::uint8_t>(claimed >> (8 * i));
    ASSERT_TRUE(flutter::wire::writeAll(fds[1], claim.data(), claim.size()));
    std::optional<std::optional<flutter::wire::Frame>> result;
    std::thread reader([&] { result = flutter::wire::readFrame(fds[0]); });
    // Once the reader has taken every byte sent, it waits for the rest of
    // the body with its buffer in place.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int queued = 1;
    while (queued > 0 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(::ioctl(fds[0], FIONREAD, &queued), 0);
        if (queued > 0) std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(queued, 0);
    const std::size_t during = heldHeapBytes();
    ::close(fds[1]);  // the peer goes away mid-frame
    reader.join();
    ::close(fds[0]);
    EXPECT_LT(during, before + 4u * 1024u * 1024u) << "held " << during - before << " more bytes";
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
}

TEST(UiSocketPath, TheDefaultIsInAPrivateDirectory) {
    // A runtime directory that others may enter is not used.
    char open[] = "/tmp/lumivex-bridge-open-XXXXXX";
    ASSERT_NE(::mkdtemp(open), nullptr);
    ::chmod(open, 0755);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", open, 1);
    std::string error;
    auto path = flutter::DefaultUiSocketPath(error);
    ASSERT_TRUE(path) << error;
    EXPECT_EQ(path->rfind(open, 0), std::string::npos) << *path;
    // The fallback directory is this user's and closed to others.
    const std::string folder = path->substr(0, path->rfind('/'));
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    // A private one is used.
    ::chmod(open, 0700);
    path = flutter::DefaultUiSocketPath(error);
    ASSERT_TRUE(path) << error;
    EXPECT_EQ(*path, std::string(open) + "/lumivex-ui.sock");
    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    ::rmdir(open);
}

TEST(UiJson, ConvertsBetweenJsonAndValues) {
    EncodableValue v = flutter::encodableFromJson(R"({"i":1,"big":4294967296,"d":1.5,"s":"x","n":null,"b":true,"l":[1,"a"]})");
    const auto& m = *v.getIf<flutter::EncodableMap>();
    EXPECT_TRUE(m.at(EncodableValue("i")).holds<std::int32_t>());
    EXPECT_TRUE(m.at(EncodableValue("big")).holds<std::int64_t>());
    EXPECT_TRUE(m.at(EncodableValue("d")).holds<double>());
    EXPECT_TRUE(m.at(EncodableValue("n")).IsNull());
    EXPECT_EQ(flutter::encodableToJson(v), R"({"b":true,"big":4294967296,"d":1.5E0,"i":1,"l":[1,"a"],"n":null,"s":"x"})");
    EXPECT_THROW(flutter::encodableFromJson("{"), std::invalid_argument);
}

}  // namespace

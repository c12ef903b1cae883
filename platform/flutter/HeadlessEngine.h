#pragma once
// The UI engine without a screen: the UI runs in another process and talks
// to us over a local (Unix-domain) socket carrying the frames of UiWire.h.
// Incoming messages are dispatched on the platform thread (the message
// queue given to the engine). Sends and replies may come from any thread;
// they never wait for the UI: each goes into the connection's bounded
// outgoing queue, written without blocking by the engine's own I/O thread.
//
// One UI is served at a time; it is greeted with a hello frame holding the
// entry-point arguments. Other connections get a close frame with the
// reason and are closed at once. A UI that does not take its bytes within
// UiLimits::stall, lets its queue pass UiLimits::maxQueuedBytes, or leaves
// a frame incomplete for UiLimits::frame is dropped. When a UI that has
// sent at least one frame goes away, for whatever reason, the quit handler
// runs, as for a quit frame.

#include "platform/flutter/BinaryMessenger.h"
#include "platform/flutter/MessageQueue.h"
#include "platform/flutter/UiSocket.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace flutter {

// What a plugin library is given to register itself with the engine.
class PluginRegistrar {
public:
    PluginRegistrar(std::string pluginName, BinaryMessenger* messenger)
        : pluginName_(std::move(pluginName)), messenger_(messenger) {}
    const std::string& pluginName() const { return pluginName_; }
    BinaryMessenger* messenger() const { return messenger_; }

private:
    std::string pluginName_;
    BinaryMessenger* messenger_;
};

// How long and how much the engine waits for its UI.
struct UiLimits {
    // Bytes queued for the UI that it has not taken for this long drop it.
    std::chrono::milliseconds stall{5000};
    // A frame begun and not completed within this long drops its
    // connection; so does a connection that completes no frame at all.
    std::chrono::milliseconds frame{5000};
    // Bytes waiting for the UI beyond this drop it (a single frame is
    // taken into an empty queue whatever its size).
    std::size_t maxQueuedBytes = 16u * 1024u * 1024u;
};

class HeadlessEngine {
    struct Core;

public:
    HeadlessEngine(win32::MessageQueue& platformQueue, std::string socketPath, UiLimits limits = UiLimits());
    ~HeadlessEngine();
    HeadlessEngine(const HeadlessEngine&) = delete;
    HeadlessEngine& operator=(const HeadlessEngine&) = delete;

    // Binds and listens on the socket path (replacing a stale socket file,
    // never the socket of another live agent; see UiSocket.h) and starts
    // accepting the UI. False, with the reason on standard error, when the
    // socket cannot be set up.
    bool Start();

    // Called on the platform thread when the UI sends a quit frame, and when
    // its connection closes. Without one, the platform queue is told to quit.
    void SetQuitHandler(std::function<void()> handler);

    // The arguments handed to the UI's entry point, in its hello frame; set
    // before Start.
    void SetEntrypointArguments(std::vector<std::string> arguments);
    const std::vector<std::string>& entrypointArguments() const { return entrypointArguments_; }

    // The end of the process in order, driven from any thread; the calls
    // do nothing once the engine is gone, so they may race its destruction.
    class OrderlyEnd {
    public:
        // From now on other UIs are refused with "the agent is ending" and
        // calls of the UI are answered with the error "The agent is ending"
        // instead of reaching their handlers; what is under way still
        // answers and sends.
        void Begin() const;
        // Waits (at most `bound`) until everything queued for the UI has
        // been taken, then closes the connection with a close frame; the
        // quit handler is not called. True when nothing queued was lost.
        bool CloseUi(std::chrono::milliseconds bound) const;
        // Removes the socket and lock files at once, while the engine still
        // owns them (for an exit that cannot wait for the engine).
        void RemoveSocketFiles() const;

    private:
        friend class HeadlessEngine;
        std::weak_ptr<Core> core_;
    };
    OrderlyEnd orderlyEnd() const;

    // Lives as long as the engine; sends after the engine stopped are dropped.
    BinaryMessenger* messenger() const;
    const std::string& socketPath() const { return socketPath_; }

    // The registrar of a plugin, created on the first request for its name;
    // owned by the engine.
    PluginRegistrar* GetRegistrarForPlugin(const std::string& pluginName);
    // Plugin names in the order their registrars were first asked for.
    std::vector<std::string> pluginRegistrationOrder() const;
    // Channel names in the order handlers were first set for them.
    std::vector<std::string> channelRegistrationOrder() const;

    // Frames read from the UI but not yet handled on the platform thread
    // are bounded; beyond these the engine stops reading until the platform
    // thread catches up (the time of a frame's completion is not counted
    // while it does).
    static constexpr std::size_t kMaxPendingFrames = 1024;
    static constexpr std::size_t kMaxPendingBytes = 16u * 1024u * 1024u;
    // Frames waiting for the platform thread right now.
    std::size_t pendingFrames() const;

    // Bytes queued for the UI and not yet taken by it.
    std::size_t queuedBytes() const;

private:
    std::shared_ptr<Core> core_;
    std::string socketPath_;
    std::vector<std::string> entrypointArguments_;
    std::thread thread_;
    std::vector<std::unique_ptr<PluginRegistrar>> registrars_;
};

}  // namespace flutter

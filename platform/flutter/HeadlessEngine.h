#pragma once
// The UI engine without a screen: the UI runs in another process and talks
// to us over a local (Unix-domain) socket carrying the frames of UiWire.h.
// Incoming messages are dispatched on the platform thread (the message
// queue given to the engine); sends and replies may come from any thread
// and go straight to the socket under one write lock.

#include "platform/flutter/BinaryMessenger.h"
#include "platform/flutter/MessageQueue.h"
#include "platform/flutter/UiSocket.h"

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

class HeadlessEngine {
public:
    HeadlessEngine(win32::MessageQueue& platformQueue, std::string socketPath);
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
    // thread catches up.
    static constexpr std::size_t kMaxPendingFrames = 1024;
    static constexpr std::size_t kMaxPendingBytes = 16u * 1024u * 1024u;
    // Frames waiting for the platform thread right now.
    std::size_t pendingFrames() const;

private:
    struct Core;
    void acceptLoop();

    std::shared_ptr<Core> core_;
    std::string socketPath_;
    std::thread thread_;
    UiSocketListener listener_;
    int wakePipe_[2] = {-1, -1};
    std::vector<std::unique_ptr<PluginRegistrar>> registrars_;
};

}  // namespace flutter

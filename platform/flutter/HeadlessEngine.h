#pragma once
// The UI engine without a screen: the UI runs in another process and talks
// to us over a local (Unix-domain) socket carrying the frames of UiWire.h.
// Incoming messages are dispatched on the platform thread (the message
// queue given to the engine); sends and replies may come from any thread
// and go straight to the socket under one write lock.

#include "platform/flutter/BinaryMessenger.h"
#include "platform/flutter/MessageQueue.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace flutter {

class HeadlessEngine {
public:
    HeadlessEngine(win32::MessageQueue& platformQueue, std::string socketPath);
    ~HeadlessEngine();
    HeadlessEngine(const HeadlessEngine&) = delete;
    HeadlessEngine& operator=(const HeadlessEngine&) = delete;

    // Binds and listens on the socket path (replacing a stale socket file)
    // and starts accepting the UI. False, with the reason on standard error,
    // when the socket cannot be set up.
    bool Start();

    // Called on the platform thread when the UI sends a quit frame, and when
    // its connection closes. Without one, the platform queue is told to quit.
    void SetQuitHandler(std::function<void()> handler);

    // Lives as long as the engine; sends after the engine stopped are dropped.
    BinaryMessenger* messenger() const;
    const std::string& socketPath() const { return socketPath_; }

private:
    struct Core;
    void acceptLoop();

    std::shared_ptr<Core> core_;
    std::string socketPath_;
    std::thread thread_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
};

}  // namespace flutter

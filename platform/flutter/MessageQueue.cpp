#include "platform/flutter/MessageQueue.h"

#include <cstdio>
#include <exception>

namespace win32 {

void MessageQueue::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
}

void MessageQueue::PostQuit(int exitCode) {
    Post([this, exitCode] {
        quit_ = true;
        exitCode_ = exitCode;
    });
}

int MessageQueue::Run() {
    quit_ = false;
    while (!quit_) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return !tasks_.empty(); });
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task();
        } catch (const std::exception& e) {
            // A handler's failure must not end the loop.
            std::fprintf(stderr, "uncaught exception on the platform thread: %s\n", e.what());
        }
    }
    return exitCode_;
}

}  // namespace win32

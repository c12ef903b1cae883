#pragma once
// The platform thread's message loop: tasks posted from any thread run in
// order on the thread that called Run, until a quit is posted.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace win32 {

class MessageQueue {
public:
    void Post(std::function<void()> task);
    // Ends Run once the tasks posted before it have run.
    void PostQuit(int exitCode = 0);
    // Runs tasks until a quit arrives; returns the quit's exit code.
    int Run();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    int exitCode_ = 0;
};

}  // namespace win32

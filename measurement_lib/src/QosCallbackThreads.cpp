#include "QosCallbackThreads.h"

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

namespace trevask::measurement_library {

namespace {

struct Registry {
    std::mutex mutex;
    std::condition_variable ended;
    std::size_t running = 0;
    bool shuttingDown = false;
    bool exitHookRegistered = false;
};

// Never destroyed: callback threads and the exit hook use it during exit.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

void waitAtExit() { QosCallbackThreads::shutdown(QosCallbackThreads::kExitBound); }

}  // namespace

bool QosCallbackThreads::start(std::function<void()> work) {
    Registry& r = registry();
    {
        std::lock_guard lock(r.mutex);
        if (r.shuttingDown) return false;
        if (!r.exitHookRegistered) {
            // Registered after the loggers and other function-local statics
            // that callbacks use were made, so it runs before they go.
            r.exitHookRegistered = std::atexit(waitAtExit) == 0;
        }
        ++r.running;
    }
    try {
        std::thread([&r, work = std::move(work)]() mutable {
            try {
                work();
            } catch (...) {
                // The work reports its own failures; nothing may leave the thread.
            }
            // What the callback holds goes before the thread counts as ended.
            work = nullptr;
            // Notified under the lock: a waiter may return and the process
            // may end as soon as the count reaches zero.
            std::lock_guard lock(r.mutex);
            --r.running;
            r.ended.notify_all();
        }).detach();
        return true;
    } catch (const std::exception&) {
        std::lock_guard lock(r.mutex);
        --r.running;
        r.ended.notify_all();
        return false;
    }
}

bool QosCallbackThreads::shutdown(std::chrono::milliseconds bound) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    r.shuttingDown = true;
    return r.ended.wait_for(lock, bound, [&] { return r.running == 0; });
}

std::size_t QosCallbackThreads::running() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.running;
}

}  // namespace trevask::measurement_library

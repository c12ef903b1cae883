#pragma once
// The threads that run QoS reply callbacks. Each reply's callback runs on a
// thread of its own, detached from the control connection that received the
// reply (a callback may outlive its connection), but not from the process:
// exit waits for the callbacks still running before static destruction, so
// none of them logs through a logger that is already gone. The wait is
// registered with std::atexit when the first callback thread starts; a host
// that ends in its own order calls shutdown itself before it returns.

#include <chrono>
#include <cstddef>
#include <functional>

namespace trevask::measurement_library {

class QosCallbackThreads {
public:
    // How long exit waits for callbacks that are still running.
    static constexpr std::chrono::milliseconds kExitBound{5000};

    // Runs work on a new thread. False, and work is dropped, once shutdown
    // has begun or when no thread can be started.
    static bool start(std::function<void()> work);

    // Refuses new callback threads from now on and waits until the running
    // ones have ended, at most bound. True when none is left running.
    static bool shutdown(std::chrono::milliseconds bound);

    // Callback threads running now.
    static std::size_t running();
};

}  // namespace trevask::measurement_library

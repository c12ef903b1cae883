#pragma once
// Asynchronous workers that answer their calls from threads of their own.
//
// Starting a worker never waits for an earlier one: the platform thread
// only creates the thread. Finished workers are released when the next one
// starts; waitAll waits for every worker still running (the process's exit
// does this before anything the workers use is destroyed).

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <mutex>

namespace trevask {

class WorkerSet {
public:
    WorkerSet() = default;
    ~WorkerSet() { waitAll(); }
    WorkerSet(const WorkerSet&) = delete;
    WorkerSet& operator=(const WorkerSet&) = delete;

    // Runs `work` on a thread of its own. With `afterPrevious` the work
    // first waits, on that thread, for the worker started just before it,
    // so the two finish in the order they were started. Throws
    // std::system_error when no thread can be started, and
    // std::runtime_error "The agent is ending" once the set is closed.
    void start(std::function<void()> work, bool afterPrevious = false);
    // Starts no more workers; those running go on.
    void close();
    // Waits until every worker has finished, also those started meanwhile.
    void waitAll();
    // Workers not yet released (finished ones go at the next start).
    std::size_t size();

private:
    std::mutex mutex_;
    std::deque<std::shared_future<void>> workers_;
    bool closed_ = false;
};

}  // namespace trevask

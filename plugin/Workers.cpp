#include "Workers.h"

#include <chrono>
#include <stdexcept>

namespace trevask {
namespace {

bool isFinished(const std::shared_future<void>& worker) {
    return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

void WorkerSet::start(std::function<void()> work, bool afterPrevious) {
    std::lock_guard lock(mutex_);
    if (closed_) throw std::runtime_error("The agent is ending");
    std::erase_if(workers_, isFinished);
    std::shared_future<void> previous;
    if (afterPrevious && !workers_.empty()) previous = workers_.back();
    workers_.push_back(std::async(std::launch::async, [work = std::move(work), previous]() mutable {
                           if (previous.valid()) {
                               previous.wait();
                               previous = {};
                           }
                           work();
                       }).share());
}

void WorkerSet::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

void WorkerSet::waitAll() {
    for (;;) {
        std::shared_future<void> worker;
        {
            std::lock_guard lock(mutex_);
            if (workers_.empty()) return;
            worker = workers_.front();
        }
        worker.wait();
        std::lock_guard lock(mutex_);
        std::erase_if(workers_, isFinished);
    }
}

std::size_t WorkerSet::size() {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

}  // namespace trevask

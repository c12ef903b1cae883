#include "Runtime.h"

namespace vela_client {

Runtime::Runtime(std::size_t worker_threads) : pool_(worker_threads) {}

Runtime::~Runtime() { shutdown(); }

void Runtime::shutdown()
{
    if (stopped_)
        return;
    stopped_ = true;
    pool_.stop();
    pool_.join();
}

} // namespace vela_client

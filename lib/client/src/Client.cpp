#include "Client.h"

#include "RunMeasurement.h"
#include "Runtime.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <thread>

namespace vela_client {

Client::Client(ClientConfig config, AbortContext abort)
    : config_(std::move(config)), abort_(std::move(abort)), busy_(std::make_shared<std::atomic<bool>>(false)),
      run_lock_(std::make_shared<AsyncMutex>())
{
}

OrError<std::unique_ptr<Client>> Client::create(ClientConfig config, StopFlag stop)
{
    using Result = OrError<std::unique_ptr<Client>>;
    if (auto failure = config.validate())
        return Result::failure(*failure);
    if (!stop)
        stop = make_stop_flag();
    if (stop->load())
        return Result::failure("stop condition can't be true initially");
    const auto deadline = config.total_timeout_s;
    return Result(std::unique_ptr<Client>(new Client(std::move(config), AbortContext(std::move(stop), deadline))));
}

Client::~Client()
{
    while (busy_->load())
        std::this_thread::sleep_for(kBusyPoll);
}

OrError<ClientResult> Client::run(mclient_progress_fn progress)
{
    auto forwarder_done = std::make_shared<ForwarderDone>();
    std::optional<Runtime> runtime;
    try {
        runtime.emplace(Runtime::kWorkerThreads);
    } catch (const std::exception& e) {
        // Without its threads the library cannot run at all.
        std::fprintf(stderr, "Failed building the Runtime: %s\n", e.what());
        std::abort();
    }
    auto outcome = runtime->block_on(run_measurement(*this, progress, forwarder_done));
    // From here on this client may already be released by another thread:
    // only locals are used.
    //
    // Let the forwarder hand over the records of the ended run; a callback
    // that blocks does not hold the caller beyond the limit.
    forwarder_done->wait_for(kProgressDrainLimit);
    runtime->shutdown();
    return outcome;
}

} // namespace vela_client

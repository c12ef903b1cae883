#pragma once

// The speed-test client behind a calling-interface handle: its validated
// configuration, its abort context (whose stop flag the handle can set), the
// busy flag of a running measurement and the run lock that keeps two runs of
// one client apart.
//
//   auto client = Client::create(config, make_stop_flag());
//   auto outcome = client.value()->run(progress_callback);   // blocks
//
// Releasing a client waits, polling every 10 ms, while a run on another
// thread still uses it.

#include "AbortContext.h"
#include "ClientConfig.h"
#include "ClientResult.h"
#include "MeasurementController.h"
#include "VelaExpected.h"
#include "lib/AsyncLock.h"
#include "mclient.h"

#include <atomic>
#include <chrono>
#include <memory>

namespace vela_client {

class Client {
public:
    // Validates the configuration; fails with its text, or with "stop
    // condition can't be true initially" when the stop flag is already set.
    static OrError<std::unique_ptr<Client>> create(ClientConfig config, StopFlag stop);

    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // A new reference to the stop flag.
    StopFlag stop_flag() const { return abort_.stop_flag(); }

    // One complete measurement on a runtime of its own with 10 worker
    // threads; blocks until it has ended. The progress callback (may be
    // null) is called from a worker thread.
    OrError<ClientResult> run(mclient_progress_fn progress);

    const ClientConfig& config() const { return config_; }
    AbortContext& abort_context() { return abort_; }
    const std::shared_ptr<std::atomic<bool>>& busy() const { return busy_; }
    const std::shared_ptr<AsyncMutex>& run_lock() const { return run_lock_; }

    // Time limits of the run's connections and routines; tests shorten them.
    RunLimits limits;

    // How long the run entry lets the progress forwarder deliver the records
    // of an ended run before the runtime goes away.
    static constexpr std::chrono::seconds kProgressDrainLimit{2};
    static constexpr std::chrono::milliseconds kBusyPoll{10};

private:
    Client(ClientConfig config, AbortContext abort);

    ClientConfig config_;
    AbortContext abort_;
    std::shared_ptr<std::atomic<bool>> busy_;
    std::shared_ptr<AsyncMutex> run_lock_;
};

} // namespace vela_client

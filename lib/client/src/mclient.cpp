// The flat C calling interface of the speed-test client.

#include "mclient.h"

#include "CallingInterfaceRecords.h"
#include "Client.h"
#include "ClientLog.h"
#include "MemoryLogLayer.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct mclient_client {
    std::uint64_t log_threshold = 0;
    std::shared_ptr<vela_client::LogEventList> log_list;
    std::unique_ptr<vela_client::Client> client;
};

using namespace vela_client;

namespace {

// The handles that exist, with the number of mclient_run calls inside each.
// mclient_free may come from another thread at any moment, also while a run
// has entered mclient_run but not yet marked its client busy: it takes the
// handle out of this table first (a run that comes later finds nothing and
// returns -1), stops the client, and releases it only once no call is inside.
struct LiveHandles {
    std::mutex mutex;
    std::condition_variable idle;
    std::map<mclient_client*, int> runs;
};

LiveHandles& live_handles()
{
    static auto* table = new LiveHandles;  // never destroyed: a late call at exit still finds it
    return *table;
}

// Counts one mclient_run call inside `handle`; false when it does not exist.
bool enter_run(mclient_client* handle)
{
    auto& live = live_handles();
    std::lock_guard lock(live.mutex);
    auto it = live.runs.find(handle);
    if (it == live.runs.end())
        return false;
    ++it->second;
    return true;
}

void leave_run(mclient_client* handle)
{
    auto& live = live_handles();
    std::lock_guard lock(live.mutex);
    if (auto it = live.runs.find(handle); it != live.runs.end())
        --it->second;
    live.idle.notify_all();
}

} // namespace

extern "C" int32_t mclient_create(const mclient_config* config, uint32_t verbosity, mclient_handle* handle)
{
    if (config == nullptr || handle == nullptr || config->host == nullptr)
        return -1;
    auto client_config = client_config_from_record(config);
    if (!client_config)
        return -1;

    auto log_list = install_client_log_capture(verbosity);
    auto client = Client::create(std::move(*client_config), make_stop_flag());
    if (!client) {
        // The calling interface has no text for this; the log capture keeps it.
        if (log_subscriber_set())
            log_event(LogLevel::Error, "client", "failed to create client: " + client.error());
        return -1;
    }
    auto* created = new mclient_client;
    created->log_threshold = static_cast<std::uint32_t>(4U - verbosity);
    created->log_list = std::move(log_list);
    created->client = std::move(client.value());
    {
        auto& live = live_handles();
        std::lock_guard lock(live.mutex);
        live.runs[created] = 0;
    }
    *handle = created;
    return 0;
}

extern "C" int32_t mclient_run(mclient_handle handle, mclient_progress_fn progress, mclient_result_fn result,
                               mclient_error_fn error)
{
    if (handle == nullptr || !enter_run(handle))
        return -1;
    auto outcome = handle->client->run(progress);
    leave_run(handle);
    // From here on the handle may already be released by another thread.
    if (!outcome) {
        const std::string text = outcome.error();
        if (text.find('\0') != std::string::npos)
            return -1;
        if (error)
            error(text.c_str());
        return -1;
    }
    auto json = outcome.value().write_json();
    if (!json)
        return -1;
    const std::string& text = json.value();
    if (text.find('\0') != std::string::npos)
        return -1;
    if (result)
        result(text.c_str());
    return 0;
}

extern "C" void mclient_free(mclient_handle handle)
{
    if (handle == nullptr)
        return;
    auto& live = live_handles();
    {
        std::unique_lock lock(live.mutex);
        auto it = live.runs.find(handle);
        if (it == live.runs.end())
            return;  // not a live handle (freed already)
        // Stopped under the table's lock: a run that enters after this sees
        // the stop flag at its first check.
        if (handle->client)
            handle->client->stop_flag()->store(true);
        live.idle.wait(lock, [&] { return it->second == 0; });
        live.runs.erase(it);
    }
    // Releasing the client also waits, polling its busy flag, for a run that
    // still unwinds on another thread.
    handle->client.reset();
    handle->log_list.reset();
    delete handle;
}

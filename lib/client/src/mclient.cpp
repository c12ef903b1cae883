// The flat C calling interface of the speed-test client.

#include "mclient.h"

#include "CallingInterfaceRecords.h"
#include "Client.h"
#include "ClientLog.h"
#include "MemoryLogLayer.h"

#include <cstring>
#include <memory>
#include <string>

struct mclient_client {
    std::uint64_t log_threshold = 0;
    std::shared_ptr<vela_client::LogEventList> log_list;
    std::unique_ptr<vela_client::Client> client;
};

using namespace vela_client;

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
    *handle = created;
    return 0;
}

extern "C" int32_t mclient_run(mclient_handle handle, mclient_progress_fn progress, mclient_result_fn result,
                               mclient_error_fn error)
{
    if (handle == nullptr || !handle->client)
        return -1;
    auto outcome = handle->client->run(progress);
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
    StopFlag stop = handle->client ? handle->client->stop_flag() : nullptr;
    if (stop)
        stop->store(true);
    // Releasing the client waits for a run on another thread to end.
    handle->client.reset();
    handle->log_list.reset();
    delete handle;
}

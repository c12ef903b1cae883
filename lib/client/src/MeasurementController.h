#pragma once

// The controller's side of a speed test's runner connections: the record of
// one run (configuration, token, server addresses, command and feedback
// channels, runner tasks, connection counts, phase index, progress sender),
// the probe that picks the server address, the opening and re-opening of the
// runners and the end of all of them.
//
// Runner ids are fixed for the run: 0 .. n-1, equal to their entry in
// runner_handles. Every step that commands runners first calls
// spawn_connection_tasks, which re-opens the runners whose task has ended.

#include "AbortContext.h"
#include "AsyncTask.h"
#include "ClientConfig.h"
#include "ClientResult.h"
#include "VelaExpected.h"
#include "PhaseProgress.h"
#include "Progress.h"
#include "RunnerCommands.h"
#include "RunnerConnect.h"
#include "RunnerRoutines.h"
#include "Token.h"
#include "lib/AsyncLock.h"
#include "lib/SharedRandomBuffer.h"
#include "lib/SocketOps.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela_client {

// One message of the command broadcast: runners numbered below runner_limit
// act on the command.
using RunnerMessage = CommandMessage;

// Time limits of a run's connections and routines. The defaults are the
// protocol's; tests shorten them.
struct RunLimits {
    std::chrono::nanoseconds probe_connect = std::chrono::seconds(5);
    ConnectLimits connect;
    RoutineLimits routines;
};

// One runner task and whether it has ended.
struct RunnerTaskHandle {
    JoinHandle<bool> task;
    std::shared_ptr<std::atomic<bool>> finished;

    bool is_finished() const { return !finished || finished->load(); }
};

inline constexpr std::uint32_t kBufferMultiplier = 64;

// How long a phase whose acknowledged runners have all completed still waits
// for a runner that the command reached but that has not acknowledged yet
// (a fast failure of one runner can overtake another runner's
// acknowledgement; its reports must not spill into the next phase).
inline constexpr std::chrono::milliseconds kLateAckGrace{500};

class MeasurementController {
public:
    using Clock = std::chrono::steady_clock;

    // Probes the addresses and opens the runner connections. Gives the
    // controller without progress sender, phase count and sampling rate, or
    // the text of the first failure. `config` must outlive the controller.
    static boost::asio::awaitable<OrError<std::unique_ptr<MeasurementController>>>
    init(std::vector<Endpoint> addresses, const ClientConfig& config, Token token, AbortContext abort,
         RunLimits limits = {});

    // Completes the controller for the phases (the "new" step of the run).
    void complete(std::optional<ProgressSender> progress, std::uint32_t count, Duration sampling_rate);

    MeasurementController(const ClientConfig& config, Token token, AbortContext abort);
    MeasurementController(const MeasurementController&) = delete;
    MeasurementController& operator=(const MeasurementController&) = delete;

    const ClientConfig& config;
    Token token;
    std::string log_id;
    AbortContext abort;
    Clock::time_point start;
    boost::asio::any_io_executor executor;
    RunLimits limits;

    Endpoint server_addr;
    boost::asio::ip::udp::endpoint server_udp_addr;
    std::string udp_bind_v4_text = "0.0.0.0:0";
    std::string udp_bind_v6_text = "[::]:0";
    boost::asio::ip::udp::endpoint udp_bind_v4;
    boost::asio::ip::udp::endpoint udp_bind_v6;
    std::optional<std::string> websocket_url;
    std::string host;
    bool tls = false;
    bool skip_certificate_validation = false;

    CommandSender command_tx;
    std::shared_ptr<FeedbackSender> feedback_tx;
    FeedbackReceiver feedback_rx;
    SharedRandomBufferRef shared_buffer;
    std::uint32_t buffer_multiplier = kBufferMultiplier;

    AsyncMutex runner_handles_mutex;
    std::vector<RunnerTaskHandle> runner_handles;  // guarded by runner_handles_mutex
    std::uint8_t runner_count = 0;                  // entries of runner_handles, fixed once opened

    std::uint8_t dl_connections = 0;
    std::uint8_t ul_connections = 0;
    Duration progress_update_limit;
    Duration raw_history_sampling_rate;
    // Phases finished, failed or skipped so far, behind its own asynchronous
    // mutex, with the progress sender that the phases' reports go through.
    std::shared_ptr<PhaseProgress> phase_index;
    std::optional<ProgressSender> progress_tx;
    std::uint32_t phase_count = 0;
};

// Number of runner connections a configuration asks for: the larger of the
// downlink and uplink counts of the enabled throughput phases, else 1.
std::uint8_t runner_connection_count(const ClientConfig& config);

// The resolved addresses filtered by the IP version switches, in order.
std::vector<Endpoint> filter_addresses(const std::vector<Endpoint>& addresses, bool ipv4_only, bool ipv6_only);

// The first of the (filtered) addresses that accepts a TCP connection within
// the time limit, or "failed to connect to server".
boost::asio::awaitable<OrError<Endpoint>> probe_server_address(std::vector<Endpoint> addresses, bool ipv4_only,
                                                                bool ipv6_only, const std::string& log_id,
                                                                std::chrono::nanoseconds connect_limit = std::chrono::seconds(5));

// "ws://<ip>:<port>", an IPv6 address in brackets.
std::string websocket_url_for(const Endpoint& server);

// Spawns the connect task of one runner: a fresh command subscription,
// feedback sender and token copy; the task's value is the runner or the
// set-up's failure text.
JoinHandle<std::variant<Runner, std::string>> connect_runner(MeasurementController& controller, std::uint8_t runner_id);
// Hands an opened runner to a new runner task.
RunnerTaskHandle start_runner_task(MeasurementController& controller, Runner runner);

// The number of runners that a command with this limit reaches.
std::uint8_t reached_runners(const MeasurementController& controller, std::uint8_t runner_limit);

// The next feedback of a phase. While `settling` (every acknowledged runner
// has completed, yet fewer acknowledged than the command reached) it waits at
// most kLateAckGrace and then reports TimedOut.
boost::asio::awaitable<Expected<RunnerFeedback, RecvError>> next_feedback(MeasurementController& controller,
                                                                         bool settling);

// Re-opens every runner whose task has ended; nothing, or the first failure.
boost::asio::awaitable<std::optional<std::string>> spawn_connection_tasks(MeasurementController& controller);

// Tells every runner to quit and waits for every runner task.
boost::asio::awaitable<void> quit_runner(MeasurementController& controller);

// Counts a phase that failed or was skipped.
boost::asio::awaitable<void> advance_phase(MeasurementController& controller);

// A successful phase's last record (phase 100 %, overall (index + 1) / count,
// with the values of `values`) and its count, as one step under the phase
// index lock. Without a progress sender nothing changes.
boost::asio::awaitable<void> finish_phase(MeasurementController& controller, Phase kind, ProgressRecord values = {});

// The phase index, read under its lock.
boost::asio::awaitable<std::uint32_t> read_phase_index(MeasurementController& controller);

// Relative start (from the controller's start, 0 when not later) and the
// time elapsed since the phase start.
PhaseTiming phase_timing(const MeasurementController& controller, std::chrono::steady_clock::time_point phase_start);

// The log identifier of the controller's token.
std::string client_log_id(MeasurementController& controller);

} // namespace vela_client

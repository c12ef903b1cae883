#include "tasks/UdpTask.h"

#include "QosControlConnection.h"
#include "UdpStream.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>

namespace trevask::measurement_library {

namespace {

using Clock = std::chrono::steady_clock;

// The longest reply text quoted in a result's error message.
constexpr std::size_t kQuotedReplyLength = 200;

}  // namespace

Poco::Logger& UdpTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("UdpTask");
    return instance;
}

// Everything the task, the two reply callbacks, the sender and the receive
// thread share; all of it under `mutex`.
struct UdpTask::RunState {
    std::mutex mutex;
    std::condition_variable changed;
    std::int32_t received = 0;
    std::int32_t expected = 0;
    bool allEchoed = false;
    bool resultReplied = false;
    // Set when the task stops waiting (by any way out of its body): nobody
    // looks at echoes any more, so the sender stops instead of pacing out
    // the rest of its datagrams.
    bool abandoned = false;
    // Time stamp of the first datagram sent; echoes carrying an earlier (or
    // a future) time stamp are not ours.
    std::optional<std::int64_t> firstSendNs;
    // The server's count from its result reply; -1 while unknown.
    std::int64_t serverReceived = -1;
    // The result reply, kept for the error message when it held no count.
    std::string resultReply;
    // Packet index -> round-trip time in ns; a later echo of an index wins.
    std::map<std::uint32_t, std::int64_t> packetRtts;

    // What the sender needs of the configuration, copied at the start: the
    // sender may still run after the configuration's owner is gone.
    std::string serverAddr;
    std::string outPort;
    std::string outNumPackets;
    std::string delay;
    std::string agentUuid;
    // End of the task; the stream's name resolution gives up there too.
    Clock::time_point deadline = Clock::now() + UdpStream::kDefaultResolveTimeout;
};

namespace {

using RunState = UdpTask::RunState;

// One echo, on the stream's receive thread.
void onDatagram(RunState& state, const UdpStream::Datagram& datagram, std::uint64_t length) {
    const std::int64_t now = monotonicNowNs();
    // Bytes 1 and 38 to 45 are what we read; a shorter datagram cannot be
    // an echo of ours (the buffer after it holds stale bytes).
    if (length < UdpTask::kPacketSize) {
        poco_debug_f1(UdpTask::logger(), "Ignoring a datagram of %?u bytes", length);
        return;
    }
    const std::uint32_t index = datagram[1];
    std::uint64_t sent = 0;
    for (std::size_t i = 38; i < 46; ++i) sent = (sent << 8) | datagram[i];
    const auto sentNs = static_cast<std::int64_t>(sent);

    std::lock_guard lock(state.mutex);
    if (!state.firstSendNs || sentNs < *state.firstSendNs || sentNs > now) {
        poco_debug(UdpTask::logger(), "Ignoring a datagram whose time stamp was not sent by this test");
        return;
    }
    state.packetRtts[index] = now - sentNs;
    // A server may echo without end; the count stops at its largest value.
    if (state.received < std::numeric_limits<std::int32_t>::max()) ++state.received;
    if (state.received >= state.expected) {
        state.allEchoed = true;
        state.changed.notify_all();
    }
}

// Reply to "UDPTEST OUT", on a callback thread of the control connection:
// sends the datagrams, paced, and closes the stream once every echo is in or
// the task has stopped waiting.
void onControlReply(const std::shared_ptr<RunState>& state, const std::string& response) {
    if (response != "OK") return;  // refused: the task's first wait expires
    try {
        const std::int32_t expected = parseStoi(state->outNumPackets);
        Clock::time_point deadline;
        {
            std::lock_guard lock(state->mutex);
            state->expected = expected;
            state->received = 0;
            deadline = state->deadline;
        }
        UdpStream stream(state->serverAddr, parseStoi(state->outPort), deadline);
        stream.datagramCallback = [state](UdpStream::Datagram datagram, std::uint64_t length) {
            onDatagram(*state, datagram, length);
        };
        const std::int64_t pauseNs = state->delay.empty() ? UdpTask::kDefaultDelayNs : parseStoll(state->delay);

        for (std::int32_t i = 0; i < expected; ++i) {
            const std::int64_t sendNs = monotonicNowNs();
            {
                std::lock_guard lock(state->mutex);
                if (state->abandoned) break;
                if (!state->firstSendNs) state->firstSendNs = sendNs;
            }
            const auto packet = UdpTask::buildPacket(static_cast<std::uint32_t>(i), state->agentUuid,
                                                     static_cast<std::uint64_t>(sendNs));
            stream.send(packet.data(), packet.size());
            if (pauseNs <= 0) continue;
            const Clock::time_point sentAt{
                std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(sendNs))};
            std::unique_lock lock(state->mutex);
            state->changed.wait_until(lock, deadlineAfter(sentAt, std::chrono::nanoseconds(pauseNs)),
                                      [&] { return state->abandoned; });
        }
        // Keep receiving until the echoes are in or the task stops waiting:
        // closing right after the last pause would lose the last echoes
        // whenever the pause is shorter than the round trip.
        std::unique_lock lock(state->mutex);
        state->changed.wait(lock, [&] { return state->allEchoed || state->abandoned; });
    } catch (const std::exception& e) {
        // Ends the sending; the task's first wait expires.
        poco_warning_f1(UdpTask::logger(), "UDP test stopped sending: %s", std::string(e.what()));
    }
}

// Reply to "GET UDPRESULT OUT", on a callback thread of the control connection.
void onResultReply(const std::shared_ptr<RunState>& state, const std::string& response) {
    const auto count = UdpTask::parseServerReceived(response);
    {
        std::lock_guard lock(state->mutex);
        state->serverReceived = count ? static_cast<std::int64_t>(*count) : -1;
        state->resultReply = response.substr(0, kQuotedReplyLength);
        state->resultReplied = true;
    }
    state->changed.notify_all();
}

}  // namespace

UdpTask::UdpTask() : BaseTask(kTypeKey) {}

UdpTask::~UdpTask() = default;

std::unique_ptr<BaseTask> UdpTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<UdpTask>();
    task->setConfiguration(configuration);
    return task;
}

bool UdpTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<UdpTaskConfiguration*>(configuration) != nullptr;
}

UdpTask::Packet UdpTask::buildPacket(std::uint32_t packetNumber, const std::string& agentUuid,
                                     std::uint64_t timestampNs) {
    Packet packet{};
    packet[0] = kPacketType;
    packet[1] = static_cast<std::uint8_t>(packetNumber % 256);
    for (std::size_t i = 0; i < 36 && i < agentUuid.size(); ++i)
        packet[2 + i] = static_cast<std::uint8_t>(agentUuid[i]);
    for (std::size_t i = 0; i < 8; ++i) packet[38 + i] = static_cast<std::uint8_t>(timestampNs >> (8 * (7 - i)));
    return packet;
}

std::optional<std::uint32_t> UdpTask::parseServerReceived(std::string_view response) {
    // The leftmost "RCV " whose run of digits is followed by a blank (the
    // second number may be empty): the first match of
    // "RCV ([\d]*) ([\d]*)( (\{.*\}))?", without a regular expression engine,
    // so a long hostile reply costs linear time.
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (std::size_t pos = response.find("RCV "); pos != std::string_view::npos; pos = response.find("RCV ", pos + 1)) {
        std::size_t end = pos + 4;
        while (end < response.size() && isDigit(response[end])) ++end;
        if (end >= response.size() || response[end] != ' ') continue;
        const std::string_view digits = response.substr(pos + 4, end - pos - 4);
        if (digits.empty()) return std::nullopt;
        std::uint64_t value = 0;
        for (char c : digits) {
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        }
        return static_cast<std::uint32_t>(value);
    }
    return std::nullopt;
}

void UdpTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<UdpTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a Udp Task configuration");

    state = std::make_shared<RunState>();
    std::unique_lock lock(state->mutex);
    if (config->out_port.empty() || config->out_num_packets.empty()) return;

    state->serverAddr = config->server_addr;
    state->outPort = config->out_port;
    state->outNumPackets = config->out_num_packets;
    state->delay = config->delay;
    state->agentUuid = config->agentUuid;

    // However the body ends, the sender stops with it.
    struct Abandon {
        std::shared_ptr<RunState> state;
        std::unique_lock<std::mutex>& lock;
        ~Abandon() {
            if (!lock.owns_lock()) lock.lock();
            state->abandoned = true;
            state->changed.notify_all();
        }
    } abandon{state, lock};

    // A count that cannot be read fails here, before the server is asked,
    // rather than as a time-out of a test that never sent anything.
    parseStoi(config->out_num_packets);

    const auto begin = Clock::now();
    auto shared = state;
    controlConnection->sendRequest("UDPTEST OUT " + config->out_port + " " + config->out_num_packets,
                                   config->qos_test_uid,
                                   [shared](std::string response, std::string) { onControlReply(shared, response); });

    // One bound for the whole test: however many datagrams and however long
    // the pause, the sending, the echoes and the result reply all end there.
    const std::chrono::nanoseconds timeout{parseStoll(config->timeout)};
    state->deadline = taskDeadline(begin, timeout);
    auto waitFor = [&](const bool& flag) {
        if (!flag && timeout.count() > 0) state->changed.wait_until(lock, state->deadline, [&] { return flag; });
        return flag;
    };

    if (!waitFor(state->allEchoed)) {
        resultOut = "TIMEOUT";
        throw TaskTimeoutException("Timeout while sending UDP packets");
    }

    controlConnection->sendRequest("GET UDPRESULT OUT " + config->out_port, config->qos_test_uid,
                                   [shared](std::string response, std::string) { onResultReply(shared, response); });
    if (!waitFor(state->resultReplied)) {
        resultOut = "TIMEOUT";
        throw TaskTimeoutException("Timeout waiting for QoS server result");
    }
    resultOut = "OK";
}

std::unique_ptr<TaskResult> UdpTask::createResult() {
    auto result = std::make_unique<UdpTaskResult>();
    fillResult(result.get());
    result->status = directionalStatus(resultOut, resultIn);

    auto* config = dynamic_cast<UdpTaskConfiguration*>(configuration);
    if (config == nullptr) return result;

    // The record holds these unsigned; a negative configured value (which
    // would otherwise wrap into a huge figure) is reported as 0.
    const auto nonNegative = [](long long value) { return static_cast<std::uint64_t>(value < 0 ? 0 : value); };

    if (resultOut == "OK" && state) {
        const auto sent = static_cast<std::uint32_t>(parseStoul(config->out_num_packets));
        std::lock_guard lock(state->mutex);
        const auto echoed = static_cast<std::uint32_t>(state->packetRtts.size());
        if (state->serverReceived >= 0) {
            result->udp_result_out_num_packets = static_cast<std::uint32_t>(state->serverReceived);
        } else {
            // The record cannot hold "unknown" (-1): the count stays 0 and
            // the message tells that the server gave none.
            result->error_message = "No packet count in the QoS server's result: " + state->resultReply;
        }
        result->udp_result_out_response_num_packets = echoed;
        // More distinct indices than datagrams sent (a server echoing
        // indices of its own) count as no loss rather than a wrapped figure.
        if (sent > 0 && echoed < sent) {
            result->udp_result_out_packet_loss_rate = static_cast<std::uint32_t>(
                static_cast<double>(sent - echoed) / static_cast<double>(sent) * 100.0);
        }
        std::uint64_t sum = 0;
        for (const auto& [index, rtt] : state->packetRtts) {
            result->udp_result_out_rtts[std::to_string(index)] = static_cast<std::uint64_t>(rtt);
            sum += static_cast<std::uint64_t>(rtt);
        }
        if (echoed > 0) result->udp_result_out_rtt_avg_ns = sum / echoed;
    }

    result->udp_objective_delay =
        config->delay.empty() ? static_cast<std::uint64_t>(kDefaultDelayNs) : nonNegative(parseStoll(config->delay));
    result->udp_objective_timeout = nonNegative(parseStoll(config->timeout));
    result->udp_objective_out_num_packets =
        config->out_num_packets.empty() ? 0 : nonNegative(parseStoi(config->out_num_packets));
    result->udp_objective_out_port =
        config->out_port.empty() ? 0 : static_cast<std::uint32_t>(nonNegative(parseStoi(config->out_port)));
    return result;
}

}  // namespace trevask::measurement_library

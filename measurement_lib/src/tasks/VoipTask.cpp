#include "tasks/VoipTask.h"

#include "QosControlConnection.h"
#include "helper/ConsoleOutput.h"
#include "helper/RtpPacket.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/TelephonyTaskResults.h"
#include "platform/kaitai/KaitaiStream.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trevask::measurement_library {

namespace {

using Clock = std::chrono::steady_clock;

// A number read like std::stoul into 32 bits: larger values are out of range.
uint32_t parseUnsigned32(const std::string& text) {
    const unsigned long value = parseStoul(text);
    if (value > std::numeric_limits<uint32_t>::max()) throw std::out_of_range("stoul argument out of range");
    return static_cast<uint32_t>(value);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// What the task run shares with the reply callbacks; a reply may arrive after
// the run stopped waiting, so the callbacks keep it alive.
struct ReplyState {
    std::mutex mutex;
    std::condition_variable replied;
    std::optional<std::string> startReply;
    std::optional<std::string> resultReply;
};

QosResponseCallback storeReply(std::shared_ptr<ReplyState> state, std::optional<std::string> ReplyState::*slot) {
    return [state = std::move(state), slot](std::string response, std::string /*id*/) {
        {
            std::lock_guard lock(state->mutex);
            (*state).*slot = std::move(response);
        }
        state->replied.notify_all();
    };
}

// Waits, releasing the held lock, until the slot holds a reply or the task's
// deadline has passed; a time-out of zero or less does not wait.
bool waitForReply(std::unique_lock<std::mutex>& lock, ReplyState& state, std::optional<std::string> ReplyState::*slot,
                  long long timeoutNs, Clock::time_point deadline) {
    if (!(state.*slot) && timeoutNs > 0) {
        state.replied.wait_until(lock, deadline, [&] { return (state.*slot).has_value(); });
    }
    return (state.*slot).has_value();
}

// A double as text streams write it by default: six significant digits,
// fixed or exponent notation, no trailing zeros.
std::string defaultNotation(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Call duration in effect: "call_duration" when set, else "call_duration_ns".
uint64_t callDurationNs(const VoipTaskConfiguration& config) {
    if (config.call_duration.empty()) return config.call_duration_ns;
    const long long value = parseStoll(config.call_duration);
    if (value < 0) throw TaskException("call_duration must not be negative: " + config.call_duration);
    return static_cast<uint64_t>(value);
}

}  // namespace

Poco::Logger& VoipTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("VoipTask");
    return instance;
}

VoipTask::VoipTask() : BaseTask(kTypeKey) {}

VoipTask::~VoipTask() {
    printLine("in voiptask destruct");
    running = false;
    printLine("in voiptask destruct after running false");
    // The receive thread writes into the captured packets: end it first.
    udpStream.reset();
}

std::unique_ptr<BaseTask> VoipTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<VoipTask>();
    task->setConfiguration(configuration);
    return task;
}

bool VoipTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<VoipTaskConfiguration*>(configuration) != nullptr;
}

std::optional<std::string> VoipTask::findSsrcText(const std::string& reply) {
    for (std::size_t at = reply.find("OK "); at != std::string::npos; at = reply.find("OK ", at + 1)) {
        std::size_t end = at + 3;
        while (end < reply.size() && isDigit(reply[end])) ++end;
        if (end > at + 3) return reply.substr(at + 3, end - at - 3);
    }
    return std::nullopt;
}

std::optional<std::array<std::string, 10>> VoipTask::findVoipResultGroups(const std::string& reply) {
    static const std::string keyword = "VOIPRESULT ";
    for (std::size_t at = reply.find(keyword); at != std::string::npos; at = reply.find(keyword, at + 1)) {
        std::array<std::string, 10> groups;
        std::size_t position = at + keyword.size();
        bool matched = true;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const std::size_t start = position;
            if (position < reply.size() && reply[position] == '-') ++position;
            while (position < reply.size() && isDigit(reply[position])) ++position;
            groups[g] = reply.substr(start, position - start);
            if (g + 1 < groups.size()) {
                if (position >= reply.size() || reply[position] != ' ') {
                    matched = false;
                    break;
                }
                ++position;
            }
        }
        if (matched) return groups;
    }
    return std::nullopt;
}

void VoipTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<VoipTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a Voip Task configuration");

    auto replies = std::make_shared<ReplyState>();
    std::unique_lock lock(replies->mutex);

    const uint64_t callDuration = callDurationNs(*config);
    const long long delayNs = parseStoll(config->delay);
    // The packet count and the pacing divide by the delay.
    if (delayNs <= 0) throw TaskException("delay must be a positive number of nanoseconds: " + config->delay);
    const uint64_t packetCount = callDuration / static_cast<uint64_t>(delayNs);
    // RTP timestamps advance by this many samples per packet; a sample rate
    // and delay whose product does not fit the 64-bit count are refused
    // before the call is announced.
    const double samplesPerPacketExact = static_cast<double>(config->sample_rate) / (1e9 / static_cast<double>(delayNs));
    if (!(samplesPerPacketExact < 9223372036854775808.0))
        throw TaskException("sample_rate " + std::to_string(config->sample_rate) + " and delay " + config->delay +
                            " give more samples per packet than can be counted");
    const auto samplesPerPacket = static_cast<int64_t>(samplesPerPacketExact);

    if (config->out_port.empty()) throw TaskException("out_port is not set, cannot continue with VOIP task");

    std::ostringstream command;
    command << "VOIPTEST " << config->out_port << " 0 " << config->sample_rate << " " << config->bps << " "
            << defaultNotation(static_cast<double>(delayNs) / 1000000) << " "
            << defaultNotation(static_cast<double>(callDuration) / 1000000) << " 0 " << config->payload << " "
            << config->buffer;
    const std::string& uid = config->qos_test_uid;
    const auto begin = Clock::now();
    controlConnection->sendRequest(command.str(), uid, storeReply(replies, &ReplyState::startReply));
    const long long timeoutNs = parseStoll(config->timeout);
    // One bound for the whole call: the announcement, the stream however
    // long its configured duration, and the server's figures all end there.
    const auto deadline = taskDeadline(begin, std::chrono::nanoseconds(timeoutNs));
    if (!waitForReply(lock, *replies, &ReplyState::startReply, timeoutNs, deadline)) {
        status = TaskStatus::Timeout;
        return;
    }

    const auto ssrcText = findSsrcText(*replies->startReply);
    if (!ssrcText) {
        poco_information_f2(logger(), "[%s] VoIP test refused: %s", uid, *replies->startReply);
        status = TaskStatus::Error;
        return;
    }
    const uint32_t ssrc = parseUnsigned32(*ssrcText);

    udpStream.reset();
    udpStream = std::make_unique<UdpStream>(config->server_addr, parseStoi(config->out_port), deadline);
    udpStream->datagramCallback = [this](UdpStream::Datagram datagram, std::uint64_t length) {
        capturePacket(datagram, length);
    };

    running = true;
    printLine("voip start loop " + uid + "; num packets: " + std::to_string(static_cast<uint32_t>(packetCount)));

    std::array<uint8_t, 12> packet{};
    bool cutOff = false;
    for (uint64_t index = 0; index < packetCount && running; ++index) {
        if (Clock::now() >= deadline) {
            cutOff = true;
            break;
        }
        const auto sequence = static_cast<uint16_t>(index);
        const auto timestamp = static_cast<uint32_t>(index * static_cast<uint64_t>(samplesPerPacket));
        packet[0] = 0xB0;
        packet[1] = static_cast<uint8_t>((index == 0 ? 0x80 : 0x00) | 8);
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        for (int b = 0; b < 4; ++b) {
            packet[4 + b] = static_cast<uint8_t>(timestamp >> (24 - 8 * b));
            packet[8 + b] = static_cast<uint8_t>(ssrc >> (24 - 8 * b));
        }
        udpStream->send(packet.data(), packet.size());
        std::this_thread::sleep_until(std::min(deadlineAfter(Clock::now(), std::chrono::nanoseconds(delayNs)), deadline));
    }

    printLine("voip loop " + uid + " after loop, before notify, running: " + (running ? "1" : "0"));
    if (cutOff) {
        poco_information_f1(logger(), "[%s] VoIP call cut off at the task's time-out", uid);
    }
    if (!running || cutOff) {
        status = TaskStatus::Timeout;
        return;
    }

    controlConnection->sendRequest("GET VOIPRESULT " + *ssrcText, uid, storeReply(replies, &ReplyState::resultReply));
    if (!waitForReply(lock, *replies, &ReplyState::resultReply, timeoutNs, deadline)) {
        status = TaskStatus::Timeout;
        return;
    }

    const auto groups = findVoipResultGroups(*replies->resultReply);
    if (!groups) {
        poco_information_f2(logger(), "[%s] VoIP result reply without figures: %s", uid, *replies->resultReply);
        return;
    }
    auto statistics = std::make_unique<RtpStatistics>();
    statistics->maxJitter = parseStoll((*groups)[0]);
    statistics->meanJitter = parseStoll((*groups)[1]);
    statistics->maxDelta = parseStoll((*groups)[2]);
    statistics->skew = parseStoll((*groups)[3]);
    statistics->numPackets = parseStoi((*groups)[4]);
    statistics->sequenceErrors = parseStoi((*groups)[5]);
    statistics->shortestSequence = parseStoi((*groups)[6]);
    statistics->longestSequence = parseStoi((*groups)[7]);
    // Sample rate and stream duration are checked but not used.
    parseStoi((*groups)[8]);
    parseStoll((*groups)[9]);
    serverStatistics = std::move(statistics);
}

void VoipTask::capturePacket(const UdpStream::Datagram& datagram, std::uint64_t length) {
    const int64_t receivedNs = monotonicNowNs();
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(length, datagram.size()));
    try {
        kaitai::kstream stream(std::string(reinterpret_cast<const char*>(datagram.data()), size));
        rtp_packet_t decoded(&stream);
        // Anything but RTP version 2 is stray traffic and must not count.
        if (decoded.version() != 2) return;
        const uint16_t sequence = decoded.sequence_number();
        auto minimal = std::make_shared<MinimalRtpPacket>(decoded);
        std::lock_guard lock(captureMutex);
        capturedPackets[sequence] = CapturedRtpPacket{std::move(minimal), receivedNs};
    } catch (const kaitai::stream_error&) {
        // Not a decodable RTP packet: ignored.
    }
}

CapturedRtpPackets VoipTask::capturedPacketsSnapshot() const {
    std::lock_guard lock(captureMutex);
    return capturedPackets;
}

std::unique_ptr<TaskResult> VoipTask::createResult() {
    auto result = std::make_unique<VoipTaskResult>();
    fillResult(result.get());
    auto* config = dynamic_cast<VoipTaskConfiguration*>(configuration);
    if (config != nullptr) {
        // A port, call duration or delay that cannot be read has no figure to
        // report: the conversion error goes to the runner, which keeps no
        // result rather than one with made-up zeros. A port that is not set
        // at all is reported as 0.
        result->voip_objective_payload = config->payload;
        result->voip_objective_buffer = config->buffer;
        result->voip_objective_out_port =
            config->out_port.empty() ? 0u : static_cast<uint32_t>(parseStoi(config->out_port));
        result->voip_objective_call_duration = callDurationNs(*config);
        result->voip_objective_bits_per_sample = config->bps;
        result->voip_objective_sample_rate = config->sample_rate;
        result->voip_objective_delay = static_cast<uint64_t>(parseStoll(config->delay));
    }
    result->voip_result_status = result->status;

    if (status == TaskStatus::Ok && config != nullptr) {
        const auto in = RtpUtil::calculateQoS(capturedPacketsSnapshot(), 0, static_cast<int32_t>(config->sample_rate));
        result->voip_result_in_num_packets = static_cast<uint64_t>(in->numPackets);
        result->voip_result_in_max_jitter = in->maxJitter;
        result->voip_result_in_mean_jitter = in->meanJitter;
        result->voip_result_in_skew = in->skew;
        result->voip_result_in_max_delta = in->maxDelta;
        result->voip_result_in_sequence_error = static_cast<uint32_t>(in->sequenceErrors);
        result->voip_result_in_short_seq = static_cast<uint32_t>(in->shortestSequence);
        result->voip_result_in_long_seq = static_cast<uint32_t>(in->longestSequence);
        if (serverStatistics) {
            const RtpStatistics& out = *serverStatistics;
            result->voip_result_out_num_packets = static_cast<uint64_t>(out.numPackets);
            result->voip_result_out_max_jitter = out.maxJitter;
            result->voip_result_out_mean_jitter = out.meanJitter;
            result->voip_result_out_skew = out.skew;
            result->voip_result_out_max_delta = out.maxDelta;
            result->voip_result_out_sequence_error = static_cast<uint32_t>(out.sequenceErrors);
            result->voip_result_out_short_seq = static_cast<uint32_t>(out.shortestSequence);
            result->voip_result_out_long_seq = static_cast<uint32_t>(out.longestSequence);
        }
    }
    return result;
}

}  // namespace trevask::measurement_library

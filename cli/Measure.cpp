// The measure command: one full measurement through the agent's UI socket.
// Subscribes to the three measurement event channels, registers the agent
// when no UUID is given, starts the measurement with start parameters that
// run the whole QoS battery, shows its progress and, at the end, a summary.

#include "Cli.h"
#include "JsonLines.h"
#include "Probe.h"
#include "Progress.h"
#include "StartParameters.h"
#include "Summary.h"

#include "platform/flutter/UiClient.h"

#include <boost/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lumivex::cli {

namespace {

using namespace std::chrono_literals;

struct MeasureOptions {
    MeasureRequest request;
    std::string reportPath;
    std::vector<std::string> notes;
    long maxSeconds = 900;
};

// The signal that asked us to stop (0: none). The measurement's waits
// watch it, so the figures seen so far are printed before we end.
std::atomic<int> stopSignal{0};

void onStopSignal(int signal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
}

void watchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

// How long the front end tries a back end's address itself when the agent's
// exchange with it failed.
constexpr std::chrono::milliseconds kProbeBound{5000};

// What the user sees: JSON lines, or the live line and the summary.
class View {
public:
    explicit View(bool json) : json_(json), terminal_(::isatty(STDOUT_FILENO) == 1) {}

    void reply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r) {
        if (json_) printReply(channel, method, r, sinceStart(), Values::Decoded);
    }
    void event(const flutter::UiEvent& e) {
        if (json_) printEvent(e, Values::Decoded);
    }
    void message(const std::string& text) {
        if (json_) return;
        clearLine();
        std::cout << text << std::endl;
    }
    void progress(const Progress& p) {
        if (json_) return;
        if (terminal_) {
            const auto now = std::chrono::steady_clock::now();
            const std::string line = p.line(static_cast<long>(sinceStart() / 1000));
            if (line == shownLine_ || now - shownAt_ < 100ms) return;
            shownLine_ = line;
            shownAt_ = now;
            std::cout << "\r\033[K" << line << std::flush;
            liveLineShown_ = true;
        } else if (p.phase() != shownPhase_ && !p.phase().empty()) {
            // Not a terminal (a log, a pipe): one line per phase.
            shownPhase_ = p.phase();
            std::cout << shownPhase_ << std::endl;
        }
    }
    void summary(const Summary& s) {
        clearLine();
        if (json_) {
            printLine("summary", boost::json::object{{"summary", summaryJson(s)}});
        } else {
            std::cout << renderSummary(s) << std::flush;
        }
    }

private:
    void clearLine() {
        if (liveLineShown_) std::cout << "\r\033[K" << std::flush;
        liveLineShown_ = false;
        shownLine_.clear();
    }

    bool json_;
    bool terminal_;
    bool liveLineShown_ = false;
    std::string shownLine_;
    std::string shownPhase_;
    std::chrono::steady_clock::time_point shownAt_{};
};

std::string replyText(const std::optional<flutter::MethodReply>& r) {
    if (!r) return "no answer (time-out or the agent went away)";
    if (r->kind == flutter::MethodReply::Kind::Error) {
        return "\"" + r->errorCode + "\"" + (r->errorMessage.empty() ? "" : ": " + r->errorMessage);
    }
    if (r->kind == flutter::MethodReply::Kind::NotImplemented) return "not implemented by the agent";
    return "success";
}

bool isSuccess(const std::optional<flutter::MethodReply>& r) {
    return r && r->kind == flutter::MethodReply::Kind::Success;
}

// The agent UUID in registerAgent's answer: the back end's "data" member as
// a JSON text.
std::optional<std::string> registeredUuid(const flutter::MethodReply& reply) {
    const auto* text = reply.value.getIf<std::string>();
    if (text == nullptr) return std::nullopt;
    boost::system::error_code ec;
    auto value = boost::json::parse(*text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    auto it = value.as_object().find("agent_uuid");
    if (it == value.as_object().end() || !it->value().is_string() || it->value().as_string().empty()) {
        return std::nullopt;
    }
    return std::string(it->value().as_string());
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<long> positive(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const long value = std::stol(text);
    return value > 0 ? std::optional<long>(value) : std::nullopt;
}

// The QoS types of a --qos-types list, in the agent's spelling; false, with
// the reason in `error`, for a name the agent has no test for.
bool qosTypesOf(const std::string& list, std::vector<std::string>& types, std::string& error) {
    types.clear();
    std::string valid;
    for (const auto& known : allQosTypes()) valid += (valid.empty() ? "" : ",") + known;
    for (std::string item : splitList(list)) {
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        std::string name = item;
        for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const auto& all = allQosTypes();
        if (std::find(all.begin(), all.end(), name) == all.end()) {
            error = "--qos-types: unknown QoS type \"" + item + "\" (valid: " + valid + ")";
            return false;
        }
        if (std::find(types.begin(), types.end(), name) == types.end()) types.push_back(name);
    }
    if (types.empty()) {
        error = "--qos-types needs at least one of " + valid;
        return false;
    }
    return true;
}

// The agent's answer to a failed call, as the summary quotes it.
std::string agentAnswer(const std::optional<flutter::MethodReply>& r) {
    if (!r) return std::string();
    if (r->kind == flutter::MethodReply::Kind::Error) {
        return "\"" + r->errorCode + "\"" + (r->errorMessage.empty() ? "" : ": " + r->errorMessage);
    }
    return std::string();
}

// "the registration with URL failed: CAUSE (the agent answered "...")".
void describeFailure(Summary& summary, const std::string& step, const std::string& what, const std::string& cause,
                     const std::string& answer) {
    summary.step = step;
    summary.cause = cause;
    summary.agentAnswer = answer;
    std::string text = what + " failed";
    if (!cause.empty()) text += ": " + cause;
    if (!answer.empty()) text += (cause.empty() ? ": the agent answered " : " (the agent answered ") + answer +
                                 (cause.empty() ? "" : ")");
    summary.failure = text;
}

}  // namespace

int runMeasure(const GlobalOptions& global, const std::vector<std::string>& args) {
    GlobalOptions options = global;
    MeasureOptions measure;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string error;
        if (takeGlobalOption(args, i, options, error)) {
            if (!error.empty()) return usageError(error);
            continue;
        }
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (a == "--controller" || a == "--agent-uuid" || a == "--qos-types" || a == "--report" || a == "--note" ||
            a == "--max-seconds") {
            auto v = value();
            if (!v) return usageError(a + " needs a value");
            if (a == "--controller") measure.request.controllerUrl = *v;
            if (a == "--agent-uuid") measure.request.agentUuid = *v;
            if (a == "--qos-types" && !qosTypesOf(*v, measure.request.qosTypes, error)) return usageError(error);
            if (a == "--report") measure.reportPath = *v;
            if (a == "--note") measure.notes.push_back(*v);
            if (a == "--max-seconds") {
                auto n = positive(*v);
                if (!n) return usageError("--max-seconds needs a positive number, not \"" + *v + "\"");
                measure.maxSeconds = *n;
            }
        } else if (a == "--no-speed") {
            measure.request.speed = false;
        } else if (a == "--no-qos") {
            measure.request.qos = false;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a + " for measure");
        } else {
            return usageError("unexpected \"" + a + "\" after measure");
        }
    }
    const std::string& controller = measure.request.controllerUrl;
    if (controller.empty()) return usageError("measure needs --controller URL");
    if (controller.rfind("http://", 0) != 0 && controller.rfind("https://", 0) != 0) {
        return usageError("--controller needs an http:// or https:// URL, not \"" + controller + "\"");
    }
    if (!measure.request.speed && !measure.request.qos) return usageError("--no-speed and --no-qos leave nothing");

    std::string error;
    auto socket = socketPath(options, error);
    if (!socket) {
        std::cerr << kProgram << ": " << error << "\n";
        return kUnreachable;
    }
    const std::chrono::milliseconds timeout(options.timeoutMs);
    View view(options.json);
    flutter::UiClient client;
    if (!client.Connect(*socket, timeout)) {
        std::cerr << kProgram << ": " << client.error() << "\n";
        return kUnreachable;
    }
    watchStopSignals();

    Summary summary;
    summary.notes = measure.notes;
    // A test build's shortened speed test: the agent and this front end get
    // the variable from the same place (scripts/run or the user's shell), and
    // come from the same tree, so only a front end built with the test seams
    // reads it (an agent without them ignores it).
#ifdef LUMIVEX_TEST_SEAMS
    if (const char* overrides = std::getenv("LUMIVEX_TEST_SPEED_OVERRIDES");
        overrides != nullptr && *overrides != '\0' && measure.request.speed) {
        summary.shortened = true;
    }
#endif
    Progress progress(measure.request.speed, measure.request.qos);
    auto finish = [&](int code) {
        view.summary(summary);
        client.Close();
        return code;
    };
    // Ends the run on a stop signal with what was seen so far.
    auto stopped = [&]() {
        const int signal = stopSignal.load();
        summary.partial = true;
        summary.accepted = false;
        summary.measurementUuid = progress.measurementUuid();
        summary.openDataUuid = progress.openDataUuid();
        readProgress(progress, summary);
        summary.failure = std::string("stopped by ") + (signal == SIGINT ? "SIGINT (Ctrl-C)" : signal == SIGHUP ? "SIGHUP" : "SIGTERM");
        view.summary(summary);
        client.Close();
        std::cerr << kProgram << ": stopped" << std::endl;
        // The table has one status for an interrupt and one for any other stop signal.
        return signal == SIGINT ? kExitInterrupted : kExitTerminated;
    };
    auto handle = [&](const flutter::UiEvent& e) {
        view.event(e);
        const auto* text = e.value.getIf<std::string>();
        if (e.kind != flutter::UiEvent::Kind::Success || text == nullptr) return;
        if (e.channel == kIntermediateChannel) progress.onIntermediate(*text);
        if (e.channel == kQosChannel) progress.onQos(*text);
        if (e.channel == kStatusChannel) progress.onStatus(*text);
        view.progress(progress);
    };
    // A call whose answer may take long, waited for on a thread while the
    // events are shown here and a stop signal is watched for; a stop closes
    // the connection, which ends the wait.
    auto call = [&](const std::string& method, const flutter::EncodableValue& arguments,
                    std::chrono::milliseconds bound) -> std::optional<flutter::MethodReply> {
        std::optional<flutter::MethodReply> reply;
        std::atomic<bool> replied{false};
        std::thread waiter([&] {
            reply = client.InvokeMethod(kVelaChannel, method, arguments, bound);
            replied = true;
        });
        while (!replied.load()) {
            if (stopSignal.load() != 0) {
                client.Close();
                break;
            }
            if (auto e = client.NextEvent(100ms)) handle(*e);
            view.progress(progress);
        }
        waiter.join();
        if (stopSignal.load() != 0) return std::nullopt;
        view.reply(kVelaChannel, method, reply);
        return reply;
    };

    for (const char* channel : {kIntermediateChannel, kStatusChannel, kQosChannel}) {
        auto r = client.Listen(channel, timeout);
        view.reply(channel, "listen", r);
        if (stopSignal.load() != 0) return stopped();
        if (!isSuccess(r)) {
            summary.failure = std::string("cannot listen to ") + channel + ": " + replyText(r);
            return finish(r ? kFailed : kTimeout);
        }
    }

    MeasureRequest request = measure.request;
    const std::string apiUrl = registrationUrl(controller);
    if (request.agentUuid.empty()) {
        // Registration goes to the controller at once; a back end that is
        // not there ends the run here rather than after a measurement.
        view.message("registering the agent with " + apiUrl);
        flutter::EncodableMap arguments{{flutter::EncodableValue("url"), flutter::EncodableValue(apiUrl)},
                                        {flutter::EncodableValue("tcVersionAccepted"), flutter::EncodableValue(std::int32_t{1})},
                                        {flutter::EncodableValue("isTcAccepted"), flutter::EncodableValue(true)}};
        // The agent waits up to 10 s for the back end.
        auto r = call("registerAgent", flutter::EncodableValue(arguments), std::max(timeout, std::chrono::milliseconds(15000)));
        if (stopSignal.load() != 0) return stopped();
        std::optional<std::string> uuid = isSuccess(r) ? registeredUuid(*r) : std::nullopt;
        if (!uuid) {
            const std::string what = "the registration with " + apiUrl;
            if (!r) {
                summary.step = "registration";
                summary.failure = what + " failed: no answer from the agent within " +
                                  std::to_string(std::max(timeout, std::chrono::milliseconds(15000)).count() / 1000) + " s";
                return finish(client.connected() ? kTimeout : kUnreachable);
            }
            std::string cause = isSuccess(r) ? std::string("the answer holds no agent UUID") : std::string();
            if (cause.empty()) {
                view.message("finding out why: trying " + apiUrl + "/measurement-agents once");
                cause = probe(apiUrl + "/measurement-agents", "{}", kProbeBound).cause;
                if (stopSignal.load() != 0) return stopped();
            }
            describeFailure(summary, "registration", what, cause, agentAnswer(r));
            return finish(kFailed);
        }
        request.agentUuid = *uuid;
        summary.registeredAgentUuid = *uuid;
    }

    const std::string parameters = startParametersJson(request);
    view.message("measuring against " + controller + " (" +
                 (request.speed && request.qos ? "speed test and QoS tests"
                  : request.speed              ? "speed test"
                                               : "QoS tests") +
                 ")");
    // The reply comes when the whole measurement has ended.
    const std::chrono::milliseconds bound(measure.maxSeconds * 1000);
    view.progress(progress);
    auto reply = call("startMeasurement", flutter::EncodableValue(parameters), bound);
    if (stopSignal.load() != 0) return stopped();
    // The status event goes out before the reply; take whatever is queued.
    while (auto e = client.NextEvent(50ms)) handle(*e);

    summary.measurementUuid = progress.measurementUuid();
    summary.openDataUuid = progress.openDataUuid();
    summary.accepted = isSuccess(reply) && progress.resultSent();
    if (!summary.accepted) {
        if (!reply) {
            summary.step = "measurement";
            summary.failure = "no answer to startMeasurement within " + std::to_string(measure.maxSeconds) +
                              " s, or the agent went away";
        } else {
            // Which exchange failed: no test ran, so the control document
            // did not come; tests ran, so it was the report's upload.
            const bool measured = progress.speed().seen || !progress.qosProgress().empty();
            std::string cause;
            if (!measured) {
                view.message("finding out why: trying " + apiUrl + "/measurements once");
                cause = probe(apiUrl + "/measurements", "{}", kProbeBound).cause;
                if (stopSignal.load() != 0) return stopped();
                describeFailure(summary, "control document", "the control document from " + apiUrl + "/measurements",
                                cause, agentAnswer(reply));
            } else if (isSuccess(reply)) {
                describeFailure(summary, "report upload", "the report upload",
                                "the agent reported success without the collector's acceptance", "");
            } else {
                describeFailure(summary, "report upload", "the measurement or its report upload", "", agentAnswer(reply));
            }
        }
    }
    readProgress(progress, summary);
    if (!measure.reportPath.empty() && summary.accepted) {
        std::string why;
        auto text = readFile(measure.reportPath);
        if (text && readReport(*text, summary, why)) {
            summary.reportPath = measure.reportPath;
        } else {
            summary.notes.push_back("The report " + measure.reportPath + " could not be read (" +
                                    (text ? why : std::string("no such file")) +
                                    "): the figures are those the agent showed while it measured.");
        }
    }
    return finish(summary.accepted ? kDone : !reply ? (client.connected() ? kTimeout : kUnreachable) : kFailed);
}

}  // namespace lumivex::cli

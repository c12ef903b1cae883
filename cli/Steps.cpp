// The step mode of the command-line front end: connects to the agent's UI
// socket, subscribes to event channels, calls methods with JSON arguments
// and prints every reply and event as one JSON line on standard output.
// Steps run in the order given (see the help text in main.cpp). Leaving
// without --quit simply closes the connection, as a UI that goes away does.
// Each reply line carries "atMs", the time since the start at which the
// reply arrived. Every wait is bounded by the time-out.

#include "Cli.h"
#include "JsonLines.h"

#include "platform/flutter/UiClient.h"
#include "platform/flutter/UiSocket.h"

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace lumivex::cli {

namespace {

struct Step {
    enum class Kind { Listen, Call, Send, AwaitReplies, Events, UntilEvent, Sleep, Quit };
    explicit Step(Kind k, std::string c = {}, std::string m = {})
        : kind(k), channel(std::move(c)), method(std::move(m)) {}
    Kind kind;
    std::string channel;
    std::string method;
    std::string json;                   // --until-event: the text to wait for
    flutter::EncodableValue arguments;  // --call, --send
    long number = 0;
};

// A non-negative whole number, or no value.
std::optional<long> count(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) {
        return std::nullopt;
    }
    return std::stol(text);
}

}  // namespace

int runSteps(const GlobalOptions& global, const std::vector<std::string>& args) {
    GlobalOptions options = global;
    std::vector<Step> steps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string error;
        if (takeGlobalOption(args, i, options, error)) {
            if (!error.empty()) return usageError(error);
            continue;
        }
        const std::string& a = args[i];
        auto need = [&](std::size_t n) {
            if (i + n < args.size()) return true;
            error = a + " needs " + std::to_string(n) + (n == 1 ? " value" : " values");
            return false;
        };
        if (a == "--listen") {
            if (!need(1)) return usageError(error);
            steps.emplace_back(Step::Kind::Listen, args[++i]);
        } else if (a == "--call" || a == "--send") {
            if (!need(3)) return usageError(error);
            Step step{a == "--call" ? Step::Kind::Call : Step::Kind::Send, args[i + 1], args[i + 2]};
            try {
                step.arguments = flutter::encodableFromJson(args[i + 3]);
            } catch (const std::exception& e) {
                return usageError("the arguments of " + a + " " + step.channel + " " + step.method +
                                  " are not JSON: " + e.what());
            }
            steps.push_back(std::move(step));
            i += 3;
        } else if (a == "--until-event") {
            if (!need(1)) return usageError(error);
            Step step{Step::Kind::UntilEvent};
            step.json = args[++i];
            steps.push_back(step);
        } else if (a == "--await-replies") {
            steps.emplace_back(Step::Kind::AwaitReplies);
        } else if (a == "--events" || a == "--sleep-ms") {
            if (!need(1)) return usageError(error);
            auto n = count(args[++i]);
            if (!n) return usageError(a + " needs a whole number, not \"" + args[i] + "\"");
            Step step{a == "--events" ? Step::Kind::Events : Step::Kind::Sleep};
            step.number = *n;
            steps.push_back(step);
        } else if (a == "--quit") {
            steps.emplace_back(Step::Kind::Quit);
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a);
        } else {
            return usageError("unknown command \"" + a + "\"");
        }
    }
    if (steps.empty()) return usageError("nothing to do");
    std::string error;
    auto socket = socketPath(options, error);
    if (!socket) {
        std::cerr << kProgram << ": " << error << "\n";
        return kUnreachable;
    }
    const std::chrono::milliseconds timeout(options.timeoutMs);

    flutter::UiClient client;
    if (!client.Connect(*socket, timeout)) {
        std::cerr << kProgram << ": " << client.error() << "\n";
        return kUnreachable;
    }
    // Calls sent without waiting, awaiting their replies.
    struct Pending {
        const Step* step;
        std::thread waiter;
        std::optional<flutter::MethodReply> reply;
        std::int64_t atMs = 0;
    };
    std::vector<std::unique_ptr<Pending>> pending;
    int rc = 0;
    for (const auto& step : steps) {
        switch (step.kind) {
            case Step::Kind::Listen: {
                auto r = client.Listen(step.channel, timeout);
                printReply(step.channel, "listen", r, sinceStart());
                if (!r) rc = kTimeout;
                break;
            }
            case Step::Kind::Call: {
                auto r = client.InvokeMethod(step.channel, step.method, step.arguments, timeout);
                printReply(step.channel, step.method, r, sinceStart());
                if (!r) rc = kTimeout;
                break;
            }
            case Step::Kind::Send: {
                auto p = std::make_unique<Pending>();
                p->step = &step;
                Pending* raw = p.get();
                // The reply may take long (a whole measurement): it is waited
                // for on a thread of its own, with the longest wait we allow.
                p->waiter = std::thread([&client, raw, timeout] {
                    raw->reply =
                        client.InvokeMethod(raw->step->channel, raw->step->method, raw->step->arguments, timeout);
                    raw->atMs = sinceStart();
                });
                pending.push_back(std::move(p));
                break;
            }
            case Step::Kind::AwaitReplies:
                for (auto& p : pending) {
                    if (p->waiter.joinable()) p->waiter.join();
                    printReply(p->step->channel, p->step->method, p->reply, p->atMs);
                    if (!p->reply) rc = kTimeout;
                }
                pending.clear();
                break;
            case Step::Kind::Events:
                for (long n = 0; n < step.number; ++n) {
                    auto e = client.NextEvent(timeout);
                    if (!e) {
                        printLine("timeout", {{"event", "timeout"}});
                        rc = kTimeout;
                        break;
                    }
                    printEvent(*e);
                }
                break;
            case Step::Kind::UntilEvent: {
                const auto deadline = std::chrono::steady_clock::now() + timeout;
                for (;;) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                      std::chrono::steady_clock::now());
                    auto e = left.count() > 0 ? client.NextEvent(left) : std::nullopt;
                    if (!e) {
                        printLine("timeout", {{"event", "timeout"}});
                        rc = kTimeout;
                        break;
                    }
                    if (printEvent(*e).find(step.json) != std::string::npos) break;
                }
                break;
            }
            case Step::Kind::Sleep:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
                break;
            case Step::Kind::Quit:
                client.SendQuit();
                if (!client.WaitClosed(timeout)) rc = kTimeout;
                break;
        }
    }
    // Leaving: the connection closes, which ends the waits still open.
    client.Close();
    for (auto& p : pending) {
        if (p->waiter.joinable()) p->waiter.join();
    }
    return rc;
}

}  // namespace lumivex::cli

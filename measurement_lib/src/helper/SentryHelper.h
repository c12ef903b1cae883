#pragma once
// Binding between the measurement library and the crash reporter.
// Exception capture, transactions and spans are no-ops until initialize()
// has run, so callers may use them unconditionally. Breadcrumbs and scope
// updates are handed to the reporter in any state (it drops breadcrumbs
// while it is not running).

#include <exception>
#include <map>
#include <optional>
#include <source_location>
#include <string>

namespace Poco {
class Logger;
class Message;
}

namespace trevask::measurement_library {

// Optional handle of a crash-reporter transaction; empty when monitoring is off.
struct SentryTransaction {
    void* transaction = nullptr;
    bool hasValue = false;
};

// Optional handle of a child span of a transaction.
struct SentrySpan {
    void* span = nullptr;
    bool hasValue = false;
};

class SentryHelper {
public:
    static void captureException(const std::exception& e, std::string info = "",
                                 std::source_location location = std::source_location::current());
    static void addBreadcrumb(const Poco::Message& message);

    static SentryTransaction startTransaction(std::string name, std::string operation);
    static SentrySpan startSpan(SentryTransaction transaction, std::string operation, std::string description);
    static void setSpanData(SentrySpan span, std::string key, std::string value);
    static void finishSpan(SentrySpan span);
    static void finishTransaction(SentryTransaction transaction);

    static bool isEnabled();

    // Starts the reporter with the DSN from the UI and this agent's identity.
    // A second call (after close) starts it again with the new values.
    static void initialize(std::string dsn, std::string agentUuid, bool debug);
    // Stores the agent identity (an absent map clears the stored options)
    // and rebuilds the scope.
    static void setAgentUuid(std::string agentUuid,
                             std::optional<std::map<std::string, std::string>> contextOptions = std::nullopt);
    // Rebuilds user, tags and contexts from the stored identity and the
    // machine facts. Slow: runs the "hostname" command.
    static void updateScope();
    // Flushes what is queued (bounded) and stops the reporter; enabled stays set.
    static void close();
    // Logs under the name "SentryHelper".
    static Poco::Logger& logger();
};

}  // namespace trevask::measurement_library

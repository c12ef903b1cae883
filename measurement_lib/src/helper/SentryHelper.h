#pragma once
// Binding between the measurement library and the crash reporter.
// Exception capture, transactions and spans are no-ops until initialize()
// has run, so callers may use them unconditionally.

#include <exception>
#include <source_location>
#include <string>

namespace Poco {
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
};

}  // namespace trevask::measurement_library

#include "helper/SentryHelper.h"

#include <atomic>

namespace trevask::measurement_library {

namespace {
std::atomic<bool> enabled{false};
}

bool SentryHelper::isEnabled() { return enabled.load(std::memory_order_acquire); }

void SentryHelper::captureException(const std::exception&, std::string, std::source_location) {}
void SentryHelper::addBreadcrumb(const Poco::Message&) {}
SentryTransaction SentryHelper::startTransaction(std::string, std::string) { return {}; }
SentrySpan SentryHelper::startSpan(SentryTransaction, std::string, std::string) { return {}; }
void SentryHelper::setSpanData(SentrySpan, std::string, std::string) {}
void SentryHelper::finishSpan(SentrySpan) {}
void SentryHelper::finishTransaction(SentryTransaction) {}

}  // namespace trevask::measurement_library

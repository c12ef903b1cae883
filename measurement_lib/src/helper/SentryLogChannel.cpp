#include "helper/SentryLogChannel.h"

#include "helper/SentryHelper.h"

namespace trevask::measurement_library {

void SentryLogChannel::log(const Poco::Message& message) { SentryHelper::addBreadcrumb(message); }

}  // namespace trevask::measurement_library

#include "ChannelShutdown.h"

#include "InformationCollectorChannel.h"
#include "VelaChannel.h"

#include "QosCallbackThreads.h"
#include "platform/sentry/SentryTransport.h"
#include "service/SentryService.h"

namespace trevask {

void endRunningWork() {
    endVelaWork();
}

void finishChannelWork() {
    waitForVelaWorker();
    // Late QoS replies of the last run may still be logging.
    measurement_library::QosCallbackThreads::shutdown(measurement_library::QosCallbackThreads::kExitBound);
    stopInformationCollector();
    measurement_sdk::SentryService::closeSentry();
    lumivex::platform::sentry::joinStoppedTransports();
}

}  // namespace trevask

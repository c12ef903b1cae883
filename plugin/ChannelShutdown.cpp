#include "ChannelShutdown.h"

#include "InformationCollectorChannel.h"
#include "VelaChannel.h"

#include "platform/sentry/SentryTransport.h"
#include "service/SentryService.h"

namespace trevask {

void finishChannelWork() {
    waitForVelaWorker();
    stopInformationCollector();
    measurement_sdk::SentryService::closeSentry();
    lumivex::platform::sentry::joinStoppedTransports();
}

}  // namespace trevask

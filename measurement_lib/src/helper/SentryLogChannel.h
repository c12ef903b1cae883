#pragma once
// Log channel that turns every message into a crash-reporter breadcrumb.

#include <Poco/Channel.h>

namespace trevask::measurement_library {

class SentryLogChannel : public Poco::Channel {
public:
    void open() override {}
    void close() override {}
    void log(const Poco::Message& message) override;
};

}  // namespace trevask::measurement_library

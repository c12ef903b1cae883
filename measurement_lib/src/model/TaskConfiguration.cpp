#include "model/TaskConfiguration.h"

#include "model/JsonMembers.h"
#include "model/OtherTaskConfigurations.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/QosTaskConfigurations.h"
#include "model/SpeedTaskConfigurations.h"

#include <boost/json/value.hpp>

#include <string_view>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

using KindReader = std::unique_ptr<TaskConfiguration> (*)(const json::value&);

struct ConfigurationKind {
    const char* typeText;
    KindReader read;
};

template <typename T, std::unique_ptr<T> (*Reader)(const json::value&)>
std::unique_ptr<TaskConfiguration> readAs(const json::value& value) {
    return Reader(value);
}

// Compared case-insensitively in this order, before the "MKIT_" prefix test.
const ConfigurationKind kKindsBeforePrefix[] = {
    {"DNS", readAs<DnsTaskConfiguration, readDnsTaskConfiguration>},
    {"TCP", readAs<TcpTaskConfiguration, readTcpTaskConfiguration>},
    {"UDP", readAs<UdpTaskConfiguration, readUdpTaskConfiguration>},
    {"SIP", readAs<SipTaskConfiguration, readSipTaskConfiguration>},
    {"NON_TRANSPARENT_PROXY", readAs<NonTransparentProxyTaskConfiguration, readNonTransparentProxyTaskConfiguration>},
    {"VOIP", readAs<VoipTaskConfiguration, readVoipTaskConfiguration>},
    {"TRACEROUTE", readAs<TracerouteTaskConfiguration, readTracerouteTaskConfiguration>},
    {"HTTP_PROXY", readAs<HttpProxyTaskConfiguration, readHttpProxyTaskConfiguration>},
    {"VELA", readAs<VelaTaskConfiguration, readVelaTaskConfiguration>},
    {"SPRINT", readAs<SprintCliTaskConfiguration, readSprintCliTaskConfiguration>},
};

// Compared case-insensitively in this order, after the "MKIT_" prefix test.
const ConfigurationKind kKindsAfterPrefix[] = {
    {"BROWSERTIME", readAs<BrowsertimeTaskConfiguration, readBrowsertimeTaskConfiguration>},
    {"CMDLINE", readAs<CommandLineTaskConfiguration, readCommandLineTaskConfiguration>},
    {"EMAIL", readAs<EmailTaskConfiguration, readEmailTaskConfiguration>},
    {"MULTICAST_RTP", readAs<MulticastRtpTaskConfiguration, readMulticastRtpTaskConfiguration>},
    {"OOKLA_SPEEDTEST_EMBEDDED", readAs<OoklaSpeedtestCliTaskConfiguration, readOoklaSpeedtestCliTaskConfiguration>},
    {"OOKLA_SPEEDTEST_CLI", readAs<OoklaSpeedtestCliTaskConfiguration, readOoklaSpeedtestCliTaskConfiguration>},
    {"PROGRAM", readAs<ProgramTaskConfiguration, readProgramTaskConfiguration>},
    {"RMBT", readAs<RmbtTaskConfiguration, readRmbtTaskConfiguration>},
    {"SELENIUM_BROWSER", readAs<SeleniumBrowserTaskConfiguration, readSeleniumBrowserTaskConfiguration>},
    {"VOIP_PJSIP", readAs<VoipPjsipTaskConfiguration, readVoipPjsipTaskConfiguration>},
};

template <std::size_t N>
KindReader findKind(const ConfigurationKind (&kinds)[N], std::string_view type) {
    for (const auto& kind : kinds) {
        if (typeTextEquals(type, kind.typeText)) return kind.read;
    }
    return nullptr;
}

}  // namespace

void readTaskConfigurationBase(const json::object& obj, TaskConfiguration& config, bool readHost) {
    readNumber(obj, "concurrency_group", config.concurrency_group);
    readString(obj, "qostest", config.qostest);
    readString(obj, "qos_test_uid", config.qos_test_uid);
    readString(obj, "timeout", config.timeout);
    if (readHost) readString(obj, "host", config.host);
    readString(obj, "server_port", config.server_port);
    readString(obj, "server_addr", config.server_addr);
}

std::unique_ptr<TaskConfiguration> readTaskConfiguration(const json::value& value) {
    const auto type = readTypeText(value, "qostest");
    if (!type) return nullptr;

    KindReader read = findKind(kKindsBeforePrefix, *type);
    // The measurement-kit prefix is the one case-sensitive test.
    if (!read && std::string_view(*type).starts_with("MKIT_")) {
        return readMeasurementKitTaskConfiguration(value);
    }
    if (!read) read = findKind(kKindsAfterPrefix, *type);
    return read ? read(value) : nullptr;
}

}  // namespace trevask::measurement_library

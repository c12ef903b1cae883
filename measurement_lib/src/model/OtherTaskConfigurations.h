#pragma once
// Task configurations that the control document may carry but that no task
// of this agent runs. They are read completely so a document holding them
// reads without error; members are named after their JSON keys.

#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace trevask::measurement_library {

// Any type text beginning with "MKIT_".
struct MeasurementKitTaskConfiguration : TaskConfiguration {
    std::string input;
};

struct SeleniumBrowserTaskConfiguration : TaskConfiguration {
    std::string url;
};

struct CommandLineTaskConfiguration : TaskConfiguration {
    std::string command;
};

struct RmbtTaskConfiguration : TaskConfiguration {
    std::string rmbt_command;
    std::string control_server;
    bool submit_result = false;
};

struct MulticastRtpTaskConfiguration : TaskConfiguration {
    std::uint16_t port = 10000;
    std::string multicast_address;
    std::uint64_t stream_duration_ns = 0;
    std::uint64_t buffer_ns = 0;
};

struct EmailTaskConfiguration : TaskConfiguration {
    std::string smtp_host;
    std::uint16_t smtp_port = 587;
    std::string smtp_username;
    std::string smtp_password;
    std::string imap_host;
    std::uint16_t imap_port = 993;
    std::string imap_username;
    std::string imap_password;
    std::string imap_mailbox_name = "INBOX";
    std::string from_email;
    std::string from_name;
    std::string to_email;
    std::string to_name;
    std::uint64_t smtp_connect_timeout_ns = 2000000000;
    std::uint64_t imap_connect_timeout_ns = 2000000000;
    std::uint64_t imap_search_delay_ns = 100000000;
    std::int32_t imap_max_search_attempts = 100;
    bool delete_message_afterwards = true;
    bool fail_if_message_cannot_be_fetched = false;
};

struct VoipPjsipTaskConfiguration : TaskConfiguration {
    std::string call_to_uri;
    std::string public_address;
    std::string credentials_server;
    std::string credentials_id;
    std::string credentials_username;
    std::string credentials_realm = "*";
    std::string credentials_password;
    std::uint64_t server_register_timeout_ns = 5000000000;
    std::uint64_t call_duration_ns = 10000000000;
    std::uint32_t num_calls = 1;
};

struct ChromeOptions {
    std::set<std::string> args;                   // "args": sorted, each text once
    std::optional<std::string> binaryPath;        // wrong kinds absorbed
    std::optional<std::string> chromedriverPath;  // wrong kinds absorbed

    bool operator==(const ChromeOptions&) const = default;
};

struct BrowsertimeOptions {
    bool headless = true;
    bool useSameDir = true;
    std::string resultDir = "/tmp";
    std::string output = "browsertime";
    bool skipHar = true;
    bool cacheClearRaw = true;
    std::string browser = "chrome";
    std::uint32_t iterations = 1;
    ChromeOptions chrome;

    bool operator==(const BrowsertimeOptions&) const = default;
};

struct BrowsertimeTaskConfiguration : TaskConfiguration {
    std::string url;
    BrowsertimeOptions browsertime;
};

std::unique_ptr<MeasurementKitTaskConfiguration> readMeasurementKitTaskConfiguration(const boost::json::value& value);
std::unique_ptr<SeleniumBrowserTaskConfiguration> readSeleniumBrowserTaskConfiguration(const boost::json::value& value);
std::unique_ptr<CommandLineTaskConfiguration> readCommandLineTaskConfiguration(const boost::json::value& value);
std::unique_ptr<RmbtTaskConfiguration> readRmbtTaskConfiguration(const boost::json::value& value);
std::unique_ptr<MulticastRtpTaskConfiguration> readMulticastRtpTaskConfiguration(const boost::json::value& value);
std::unique_ptr<EmailTaskConfiguration> readEmailTaskConfiguration(const boost::json::value& value);
std::unique_ptr<VoipPjsipTaskConfiguration> readVoipPjsipTaskConfiguration(const boost::json::value& value);
std::unique_ptr<BrowsertimeTaskConfiguration> readBrowsertimeTaskConfiguration(const boost::json::value& value);

// The nested records of the browsertime kind: the value must be an object
// ("not an object"); absent members keep the defaults.
BrowsertimeOptions readBrowsertimeOptions(const boost::json::value& value);
ChromeOptions readChromeOptions(const boost::json::value& value);

}  // namespace trevask::measurement_library

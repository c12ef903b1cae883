#include "model/OtherTaskConfigurations.h"

#include "model/JsonMembers.h"
#include "model/TaskConfigurationReading.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using detail::startTaskConfiguration;

std::unique_ptr<MeasurementKitTaskConfiguration> readMeasurementKitTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<MeasurementKitTaskConfiguration>(value, obj);
    readString(*obj, "input", c->input);
    return c;
}

std::unique_ptr<SeleniumBrowserTaskConfiguration> readSeleniumBrowserTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<SeleniumBrowserTaskConfiguration>(value, obj);
    readString(*obj, "url", c->url);
    return c;
}

std::unique_ptr<CommandLineTaskConfiguration> readCommandLineTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<CommandLineTaskConfiguration>(value, obj);
    readString(*obj, "command", c->command);
    return c;
}

std::unique_ptr<RmbtTaskConfiguration> readRmbtTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<RmbtTaskConfiguration>(value, obj);
    readString(*obj, "rmbt_command", c->rmbt_command);
    readString(*obj, "control_server", c->control_server);
    readBool(*obj, "submit_result", c->submit_result);
    return c;
}

std::unique_ptr<MulticastRtpTaskConfiguration> readMulticastRtpTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<MulticastRtpTaskConfiguration>(value, obj);
    readNumber(*obj, "port", c->port);
    readString(*obj, "multicast_address", c->multicast_address);
    readNumber(*obj, "stream_duration_ns", c->stream_duration_ns);
    readNumber(*obj, "buffer_ns", c->buffer_ns);
    return c;
}

std::unique_ptr<EmailTaskConfiguration> readEmailTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<EmailTaskConfiguration>(value, obj);
    const json::object& o = *obj;
    readString(o, "smtp_host", c->smtp_host);
    readNumber(o, "smtp_port", c->smtp_port);
    readString(o, "smtp_username", c->smtp_username);
    readString(o, "smtp_password", c->smtp_password);
    readString(o, "imap_host", c->imap_host);
    readNumber(o, "imap_port", c->imap_port);
    readString(o, "imap_username", c->imap_username);
    readString(o, "imap_password", c->imap_password);
    readString(o, "imap_mailbox_name", c->imap_mailbox_name);
    readString(o, "from_email", c->from_email);
    readString(o, "from_name", c->from_name);
    readString(o, "to_email", c->to_email);
    readString(o, "to_name", c->to_name);
    readNumber(o, "smtp_connect_timeout_ns", c->smtp_connect_timeout_ns);
    readNumber(o, "imap_connect_timeout_ns", c->imap_connect_timeout_ns);
    readNumber(o, "imap_search_delay_ns", c->imap_search_delay_ns);
    readNumber(o, "imap_max_search_attempts", c->imap_max_search_attempts);
    readBool(o, "delete_message_afterwards", c->delete_message_afterwards);
    readBool(o, "fail_if_message_cannot_be_fetched", c->fail_if_message_cannot_be_fetched);
    return c;
}

std::unique_ptr<VoipPjsipTaskConfiguration> readVoipPjsipTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<VoipPjsipTaskConfiguration>(value, obj);
    const json::object& o = *obj;
    readString(o, "call_to_uri", c->call_to_uri);
    readString(o, "public_address", c->public_address);
    readString(o, "credentials_server", c->credentials_server);
    readString(o, "credentials_id", c->credentials_id);
    readString(o, "credentials_username", c->credentials_username);
    readString(o, "credentials_realm", c->credentials_realm);
    readString(o, "credentials_password", c->credentials_password);
    readNumber(o, "server_register_timeout_ns", c->server_register_timeout_ns);
    readNumber(o, "call_duration_ns", c->call_duration_ns);
    readNumber(o, "num_calls", c->num_calls);
    return c;
}

ChromeOptions readChromeOptions(const json::value& value) {
    const auto& obj = requireObject(value);
    ChromeOptions options;
    if (auto it = obj.find("args"); it != obj.end()) {
        std::set<std::string> args;
        for (const auto& element : requireArray(it->value())) {
            if (!element.is_string()) throw std::invalid_argument("not a string");
            args.emplace(element.get_string());
        }
        options.args = std::move(args);
    }
    readOptionalString(obj, "binaryPath", options.binaryPath);
    readOptionalString(obj, "chromedriverPath", options.chromedriverPath);
    return options;
}

BrowsertimeOptions readBrowsertimeOptions(const json::value& value) {
    const auto& obj = requireObject(value);
    BrowsertimeOptions options;
    readBool(obj, "headless", options.headless);
    readBool(obj, "useSameDir", options.useSameDir);
    readString(obj, "resultDir", options.resultDir);
    readString(obj, "output", options.output);
    readBool(obj, "skipHar", options.skipHar);
    readBool(obj, "cacheClearRaw", options.cacheClearRaw);
    readString(obj, "browser", options.browser);
    readNumber(obj, "iterations", options.iterations);
    if (auto it = obj.find("chrome"); it != obj.end()) options.chrome = readChromeOptions(it->value());
    return options;
}

std::unique_ptr<BrowsertimeTaskConfiguration> readBrowsertimeTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<BrowsertimeTaskConfiguration>(value, obj);
    readString(*obj, "url", c->url);
    if (auto it = obj->find("browsertime"); it != obj->end()) c->browsertime = readBrowsertimeOptions(it->value());
    return c;
}

}  // namespace trevask::measurement_library

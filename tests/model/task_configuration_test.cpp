#include "ModelTestSupport.h"

#include "model/OtherTaskConfigurations.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/QosTaskConfigurations.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/TaskConfiguration.h"

#include <gtest/gtest.h>

#include <typeinfo>

using namespace trevask::measurement_library;
using model_test::parse;
using model_test::raised;

namespace {

std::unique_ptr<TaskConfiguration> readConfiguration(const std::string& text) {
    return readTaskConfiguration(parse(text));
}

template <typename Kind>
std::unique_ptr<Kind> readKind(const std::string& text) {
    auto config = readConfiguration(text);
    auto* kind = dynamic_cast<Kind*>(config.get());
    if (!kind) return nullptr;
    config.release();
    return std::unique_ptr<Kind>(kind);
}

}  // namespace

TEST(TaskConfiguration, TypeTextSelectsTheKind) {
    struct Case {
        const char* type;
        const std::type_info* kind;  // nullptr: no record
    } cases[] = {
        {"DNS", &typeid(DnsTaskConfiguration)},
        {"tcp", &typeid(TcpTaskConfiguration)},
        {"TCP", &typeid(TcpTaskConfiguration)},
        {"Udp", &typeid(UdpTaskConfiguration)},
        {"sip", &typeid(SipTaskConfiguration)},
        {"non_transparent_proxy", &typeid(NonTransparentProxyTaskConfiguration)},
        {"VoIP", &typeid(VoipTaskConfiguration)},
        {"traceroute", &typeid(TracerouteTaskConfiguration)},
        {"HTTP_proxy", &typeid(HttpProxyTaskConfiguration)},
        {"vela", &typeid(VelaTaskConfiguration)},
        {"Sprint", &typeid(SprintCliTaskConfiguration)},
        {"MKIT_web_connectivity", &typeid(MeasurementKitTaskConfiguration)},
        {"MKIT_", &typeid(MeasurementKitTaskConfiguration)},
        {"mkit_web_connectivity", nullptr},
        {"Mkit_x", nullptr},
        {"MKIT", nullptr},
        {"browserTime", &typeid(BrowsertimeTaskConfiguration)},
        {"cmdline", &typeid(CommandLineTaskConfiguration)},
        {"email", &typeid(EmailTaskConfiguration)},
        {"multicast_rtp", &typeid(MulticastRtpTaskConfiguration)},
        {"ooKla_SpeedTest_embedded", &typeid(OoklaSpeedtestCliTaskConfiguration)},
        {"OOKLA_SPEEDTEST_CLI", &typeid(OoklaSpeedtestCliTaskConfiguration)},
        {"program", &typeid(ProgramTaskConfiguration)},
        {"RMBT", &typeid(RmbtTaskConfiguration)},
        {"selenium_browser", &typeid(SeleniumBrowserTaskConfiguration)},
        {"voip_pjsip", &typeid(VoipPjsipTaskConfiguration)},
        {"JAVA", nullptr},
        {"TCP ", nullptr},
        {"", nullptr},
        {"SPEED", nullptr},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TaskConfiguration> config;
        ASSERT_NO_THROW(config = readConfiguration(std::string(R"({"qostest":")") + c.type + "\"}")) << c.type;
        if (!c.kind) {
            EXPECT_EQ(config, nullptr) << c.type;
            continue;
        }
        ASSERT_NE(config, nullptr) << c.type;
        EXPECT_EQ(typeid(*config), *c.kind) << c.type;
        EXPECT_EQ(config->qostest, c.type);  // kept in the case the document used
    }
}

TEST(TaskConfiguration, NoSelectorGivesNoRecordWithoutRaising) {
    for (const char* text : {R"({})", R"({"qostest":5})", R"({"qostest":null})", R"({"QOSTEST":"TCP"})",
                             R"(["TCP"])", R"("TCP")", "null", R"({"qostest":["TCP"]})"}) {
        std::unique_ptr<TaskConfiguration> config;
        EXPECT_NO_THROW(config = readConfiguration(text)) << text;
        EXPECT_EQ(config, nullptr) << text;
    }
}

TEST(TaskConfiguration, LowerCaseTcpWithoutOtherKeysHasTheDefaults) {
    auto tcp = readKind<TcpTaskConfiguration>(R"({"qostest":"tcp"})");
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->qostest, "tcp");
    EXPECT_EQ(tcp->concurrency_group, 0u);
    EXPECT_EQ(tcp->timeout, "10000000000");
    EXPECT_EQ(tcp->server_port, "443");
    EXPECT_EQ(tcp->qos_test_uid, "");
    EXPECT_EQ(tcp->host, "");
    EXPECT_EQ(tcp->server_addr, "");
    EXPECT_EQ(tcp->agentUuid, "");
    EXPECT_EQ(tcp->in_port, "");
    EXPECT_EQ(tcp->out_port, "");
}

TEST(TaskConfiguration, CommonMembersAreReadForEveryKind) {
    const char* common = R"("concurrency_group": 3.0, "qos_test_uid": "17", "timeout": "5000",
                            "host": "h.example", "server_port": "5233", "server_addr": "10.0.0.1",
                            "agentUuid": "ignored")";
    for (const char* type : {"DNS", "TCP", "UDP", "SIP", "NON_TRANSPARENT_PROXY", "VOIP", "TRACEROUTE", "HTTP_PROXY",
                             "VELA", "SPRINT", "MKIT_X", "BROWSERTIME", "CMDLINE", "EMAIL", "MULTICAST_RTP",
                             "OOKLA_SPEEDTEST_CLI", "PROGRAM", "RMBT", "SELENIUM_BROWSER", "VOIP_PJSIP"}) {
        auto config = readConfiguration(std::string(R"({"qostest":")") + type + "\"," + common + "}");
        ASSERT_TRUE(config) << type;
        EXPECT_EQ(config->concurrency_group, 3u) << type;
        EXPECT_EQ(config->qostest, type);
        EXPECT_EQ(config->qos_test_uid, "17") << type;
        EXPECT_EQ(config->timeout, "5000") << type;
        EXPECT_EQ(config->server_port, "5233") << type;
        EXPECT_EQ(config->server_addr, "10.0.0.1") << type;
        EXPECT_EQ(config->agentUuid, "") << type;
        const bool ownHost = std::string(type) == "DNS" || std::string(type) == "TRACEROUTE";
        EXPECT_EQ(config->host, ownHost ? "" : "h.example") << type;
    }
    auto dns = readKind<DnsTaskConfiguration>(R"({"qostest":"DNS","host":"example.org"})");
    ASSERT_TRUE(dns);
    EXPECT_EQ(dns->queryHost, "example.org");
    auto trace = readKind<TracerouteTaskConfiguration>(R"({"qostest":"TRACEROUTE","host":"1.1.1.1","max_hops":"30"})");
    ASSERT_TRUE(trace);
    EXPECT_EQ(trace->targetHost, "1.1.1.1");
    EXPECT_EQ(trace->max_hops, "30");
}

TEST(TaskConfiguration, MemberOfTheWrongKindRaisesAndYieldsNothing) {
    struct Case {
        const char* text;
        const char* error;  // "" when it reads
    } cases[] = {
        {R"({"qostest":"UDP","timeout":10000})", "not a string"},
        {R"({"qostest":"UDP","concurrency_group":-1})", "not exact"},
        {R"({"qostest":"UDP","concurrency_group":"1"})", "not a number"},
        {R"({"qostest":"UDP","concurrency_group":4294967296})", "not exact"},
        {R"({"qostest":"TCP","qos_test_uid":7})", "not a string"},
        {R"({"qostest":"TCP","host":null})", "not a string"},
        {R"({"qostest":"TCP","out_port":5000})", "not a string"},
        {R"({"qostest":"TCP","out_port":"5000"})", ""},
        {R"({"qostest":"DNS","host":1})", "not a string"},
        {R"({"qostest":"DNS","record":null,"resolver":5})", ""},
        {R"({"qostest":"SIP","count":3})", "not a string"},
        {R"({"qostest":"VOIP","payload":8.5})", "not exact"},
        {R"({"qostest":"VOIP","sample_rate":"8000"})", "not a number"},
        {R"({"qostest":"VOIP","call_duration_ns":-1})", "not exact"},
        {R"({"qostest":"VOIP","delay":20})", "not a string"},
        {R"({"qostest":"HTTP_PROXY","url":5,"range":[],"conn_timeout":null,"download_timeout":{}})", ""},
        {R"({"qostest":"VELA","use_tls":"true"})", "bool required"},
        {R"({"qostest":"VELA","port":"443"})", "not a number"},
        {R"({"qostest":"SPRINT","port_tcp":70000})", ""},
        {R"({"qostest":"SPRINT","rtt_tcp_num_packets":-1})", "not exact"},
        {R"({"qostest":"SPRINT","ipv6_only":1})", "bool required"},
        {R"({"qostest":"SPRINT","secret_key":1,"token":null})", ""},
        {R"({"qostest":"OOKLA_SPEEDTEST_EMBEDDED","server_id":5,"bind_ip":true})", ""},
        {R"({"qostest":"PROGRAM","arguments":["-v"]})", "not a string"},
        {R"({"qostest":"EMAIL","smtp_port":70000})", "not exact"},
        {R"({"qostest":"EMAIL","imap_max_search_attempts":-5})", ""},
        {R"({"qostest":"MULTICAST_RTP","port":-1})", "not exact"},
        {R"({"qostest":"RMBT","submit_result":"yes"})", "bool required"},
        {R"({"qostest":"VOIP_PJSIP","num_calls":1.5})", "not exact"},
        {R"({"qostest":"MKIT_X","input":null})", "not a string"},
        {R"({"qostest":"BROWSERTIME","browsertime":"fast"})", "not an object"},
        {R"({"qostest":"BROWSERTIME","browsertime":null})", "not an object"},
        {R"({"qostest":"BROWSERTIME","browsertime":{"iterations":-1}})", "not exact"},
        {R"({"qostest":"BROWSERTIME","browsertime":{"chrome":[]}})", "not an object"},
        {R"({"qostest":"BROWSERTIME","browsertime":{"chrome":{"args":"--headless"}}})", "array required"},
        {R"({"qostest":"BROWSERTIME","browsertime":{"chrome":{"args":["a",1]}}})", "not a string"},
        {R"({"qostest":"BROWSERTIME","browsertime":{"chrome":{"binaryPath":1,"chromedriverPath":[]}}})", ""},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TaskConfiguration> config;
        EXPECT_EQ(raised([&] { config = readConfiguration(c.text); }), model_test::expected(c.error)) << c.text;
        EXPECT_EQ(config != nullptr, *c.error == '\0') << c.text;
    }
}

TEST(TaskConfiguration, KindReadersRequireAnObject) {
    for (const char* text : {"[]", "null", R"("TCP")", "1"}) {
        const auto value = parse(text);
        EXPECT_EQ(raised([&] { readTcpTaskConfiguration(value); }), model_test::expected("not an object")) << text;
        EXPECT_EQ(raised([&] { readDnsTaskConfiguration(value); }), model_test::expected("not an object")) << text;
        EXPECT_EQ(raised([&] { readVelaTaskConfiguration(value); }), model_test::expected("not an object")) << text;
        EXPECT_EQ(raised([&] { readBrowsertimeOptions(value); }), model_test::expected("not an object")) << text;
    }
}

TEST(TaskConfiguration, QosKindsReadTheirMembers) {
    auto udp = readKind<UdpTaskConfiguration>(
        R"({"qostest":"UDP","delay":"1000","out_num_packets":"5","out_port":"6000"})");
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->delay, "1000");
    EXPECT_EQ(udp->out_num_packets, "5");
    EXPECT_EQ(udp->out_port, "6000");

    auto ntp = readKind<NonTransparentProxyTaskConfiguration>(
        R"({"qostest":"NON_TRANSPARENT_PROXY","request":"GET / HTTP/1.1","port":"80"})");
    ASSERT_TRUE(ntp);
    EXPECT_EQ(ntp->request, "GET / HTTP/1.1");
    EXPECT_EQ(ntp->port, "80");

    auto sip = readKind<SipTaskConfiguration>(
        R"({"qostest":"SIP","port":"5060","count":"2","from":"a@x","to":"b@x","via":"v"})");
    ASSERT_TRUE(sip);
    EXPECT_EQ(sip->port, "5060");
    EXPECT_EQ(sip->count, "2");
    EXPECT_EQ(sip->from, "a@x");
    EXPECT_EQ(sip->to, "b@x");
    EXPECT_EQ(sip->via, "v");
    EXPECT_EQ(sip->call_duration, "3000000000");

    auto dns = readKind<DnsTaskConfiguration>(R"({"qostest":"dns","record":"AAAA","resolver":"8.8.8.8"})");
    ASSERT_TRUE(dns);
    EXPECT_EQ(dns->record, "AAAA");
    EXPECT_EQ(dns->resolver, "8.8.8.8");
    dns = readKind<DnsTaskConfiguration>(R"({"qostest":"dns","record":null})");
    ASSERT_TRUE(dns);
    EXPECT_FALSE(dns->record);
    EXPECT_FALSE(dns->resolver);

    auto proxy = readKind<HttpProxyTaskConfiguration>(
        R"({"qostest":"HTTP_PROXY","url":"http://x/","range":"bytes=0-9","conn_timeout":"1","download_timeout":"2"})");
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->url, "http://x/");
    EXPECT_EQ(proxy->range, "bytes=0-9");
    EXPECT_EQ(proxy->conn_timeout, "1");
    EXPECT_EQ(proxy->download_timeout, "2");
    proxy = readKind<HttpProxyTaskConfiguration>(R"({"qostest":"HTTP_PROXY","url":5})");
    ASSERT_TRUE(proxy);
    EXPECT_FALSE(proxy->url);
}

TEST(TaskConfiguration, VoipDefaultsAndMembers) {
    auto voip = readKind<VoipTaskConfiguration>(R"({"qostest":"VOIP"})");
    ASSERT_TRUE(voip);
    EXPECT_EQ(voip->call_duration_ns, 1000000000u);
    EXPECT_EQ(voip->call_duration, "");
    EXPECT_EQ(voip->sample_rate, 8000u);
    EXPECT_EQ(voip->bps, 8u);
    EXPECT_EQ(voip->delay, "20000000.000000");
    EXPECT_EQ(voip->payload, 8u);
    EXPECT_EQ(voip->buffer, 100000000u);

    voip = readKind<VoipTaskConfiguration>(R"({"qostest":"VOIP","call_duration":"2000","call_duration_ns":3000,
        "out_port":"5004","sample_rate":16000,"bps":16,"delay":"10","payload":8.0,"buffer":5})");
    ASSERT_TRUE(voip);
    EXPECT_EQ(voip->call_duration, "2000");
    EXPECT_EQ(voip->call_duration_ns, 3000u);
    EXPECT_EQ(voip->out_port, "5004");
    EXPECT_EQ(voip->sample_rate, 16000u);
    EXPECT_EQ(voip->bps, 16u);
    EXPECT_EQ(voip->delay, "10");
    EXPECT_EQ(voip->payload, 8u);
    EXPECT_EQ(voip->buffer, 5u);
}

TEST(TaskConfiguration, SpeedKindsDefaultsAndMembers) {
    auto vela = readKind<VelaTaskConfiguration>(R"({"qostest":"VELA"})");
    ASSERT_TRUE(vela);
    EXPECT_EQ(vela->qostest, "VELA");
    EXPECT_EQ(vela->port, 443);
    EXPECT_EQ(vela->udpPort, 6142);
    EXPECT_TRUE(vela->use_tls);
    EXPECT_TRUE(vela->rttPhase);
    EXPECT_TRUE(vela->downloadPhase);
    EXPECT_TRUE(vela->uploadPhase);
    EXPECT_EQ(vela->download_duration_seconds, 10);
    EXPECT_EQ(vela->upload_duration_seconds, 10);
    EXPECT_EQ(vela->speedParameters, nullptr);
    EXPECT_FALSE(vela->skip_certificate_validation);
    EXPECT_EQ(vela->authToken, "");
    EXPECT_EQ(VelaTaskConfiguration().qostest, "VELA");
    EXPECT_EQ(SprintCliTaskConfiguration().qostest, "SPRINT");

    vela = readKind<VelaTaskConfiguration>(R"({"qostest":"vela","port":8443,"use_tls":false,
        "upload_duration_seconds":3,"download_duration_seconds":4,"skip_certificate_validation":true})");
    ASSERT_TRUE(vela);
    EXPECT_EQ(vela->qostest, "vela");
    EXPECT_EQ(vela->port, 8443);
    EXPECT_FALSE(vela->use_tls);
    EXPECT_EQ(vela->upload_duration_seconds, 3);
    EXPECT_EQ(vela->download_duration_seconds, 4);
    EXPECT_TRUE(vela->skip_certificate_validation);

    auto sprint = readKind<SprintCliTaskConfiguration>(R"({"qostest":"SPRINT","port_tcp":70000,"tls":true,
        "run_uplink_phase":false,"ul_num_connections":8,"secret_key":"k"})");
    ASSERT_TRUE(sprint);
    EXPECT_EQ(sprint->port_tcp, 70000);
    EXPECT_EQ(sprint->port_udp, 80);
    EXPECT_TRUE(sprint->tls);
    EXPECT_FALSE(sprint->run_uplink_phase);
    EXPECT_TRUE(sprint->run_downlink_phase);
    EXPECT_EQ(sprint->ul_num_connections, 8u);
    EXPECT_EQ(sprint->dl_num_connections, 4u);
    EXPECT_EQ(sprint->rtt_udp_num_packets, 500u);
    EXPECT_EQ(sprint->dl_pretest_duration_ms, 2000u);
    EXPECT_EQ(sprint->secret_key, "k");
    EXPECT_FALSE(sprint->token);

    auto ookla = readKind<OoklaSpeedtestCliTaskConfiguration>(
        R"({"qostest":"OOKLA_SPEEDTEST_EMBEDDED","server_id":5,"server_host":"s","bind_interface":"eth0","bind_ip":"1.2.3.4"})");
    ASSERT_TRUE(ookla);
    EXPECT_FALSE(ookla->server_id);
    EXPECT_EQ(ookla->server_host, "s");
    EXPECT_EQ(ookla->bind_interface, "eth0");
    EXPECT_EQ(ookla->bind_ip, "1.2.3.4");

    auto program = readKind<ProgramTaskConfiguration>(
        R"({"qostest":"PROGRAM","taskName":"PROGRAM_A","program":"speedtest","arguments":"-f json"})");
    ASSERT_TRUE(program);
    EXPECT_EQ(program->taskName, "PROGRAM_A");
    EXPECT_EQ(program->program, "speedtest");
    EXPECT_EQ(program->arguments, "-f json");
}

TEST(TaskConfiguration, OtherKindsDefaultsAndMembers) {
    auto email = readKind<EmailTaskConfiguration>(R"({"qostest":"EMAIL","smtp_host":"mx","imap_port":143})");
    ASSERT_TRUE(email);
    EXPECT_EQ(email->smtp_host, "mx");
    EXPECT_EQ(email->smtp_port, 587);
    EXPECT_EQ(email->imap_port, 143);
    EXPECT_EQ(email->imap_mailbox_name, "INBOX");
    EXPECT_EQ(email->smtp_connect_timeout_ns, 2000000000u);
    EXPECT_EQ(email->imap_search_delay_ns, 100000000u);
    EXPECT_EQ(email->imap_max_search_attempts, 100);
    EXPECT_TRUE(email->delete_message_afterwards);
    EXPECT_FALSE(email->fail_if_message_cannot_be_fetched);

    auto pjsip = readKind<VoipPjsipTaskConfiguration>(R"({"qostest":"VOIP_PJSIP","call_to_uri":"sip:x"})");
    ASSERT_TRUE(pjsip);
    EXPECT_EQ(pjsip->call_to_uri, "sip:x");
    EXPECT_EQ(pjsip->credentials_realm, "*");
    EXPECT_EQ(pjsip->server_register_timeout_ns, 5000000000u);
    EXPECT_EQ(pjsip->call_duration_ns, 10000000000u);
    EXPECT_EQ(pjsip->num_calls, 1u);

    auto multicast = readKind<MulticastRtpTaskConfiguration>(
        R"({"qostest":"MULTICAST_RTP","multicast_address":"239.0.0.1","buffer_ns":7})");
    ASSERT_TRUE(multicast);
    EXPECT_EQ(multicast->port, 10000);
    EXPECT_EQ(multicast->multicast_address, "239.0.0.1");
    EXPECT_EQ(multicast->stream_duration_ns, 0u);
    EXPECT_EQ(multicast->buffer_ns, 7u);

    auto rmbt = readKind<RmbtTaskConfiguration>(R"({"qostest":"RMBT","rmbt_command":"c","submit_result":true})");
    ASSERT_TRUE(rmbt);
    EXPECT_EQ(rmbt->rmbt_command, "c");
    EXPECT_TRUE(rmbt->submit_result);

    auto mkit = readKind<MeasurementKitTaskConfiguration>(R"({"qostest":"MKIT_dash","input":"i"})");
    ASSERT_TRUE(mkit);
    EXPECT_EQ(mkit->input, "i");
    auto cmd = readKind<CommandLineTaskConfiguration>(R"({"qostest":"CMDLINE","command":"ls"})");
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->command, "ls");
    auto selenium = readKind<SeleniumBrowserTaskConfiguration>(R"({"qostest":"SELENIUM_BROWSER","url":"u"})");
    ASSERT_TRUE(selenium);
    EXPECT_EQ(selenium->url, "u");
}

TEST(TaskConfiguration, BrowsertimeNestedOptions) {
    auto plain = readKind<BrowsertimeTaskConfiguration>(R"({"qostest":"BROWSERTIME","url":"https://x"})");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->url, "https://x");
    EXPECT_EQ(plain->browsertime, BrowsertimeOptions{});
    EXPECT_TRUE(plain->browsertime.headless);
    EXPECT_EQ(plain->browsertime.resultDir, "/tmp");
    EXPECT_EQ(plain->browsertime.output, "browsertime");
    EXPECT_EQ(plain->browsertime.browser, "chrome");
    EXPECT_EQ(plain->browsertime.iterations, 1u);

    auto full = readKind<BrowsertimeTaskConfiguration>(R"({"qostest":"BROWSERTIME","browsertime":{
        "headless":false,"iterations":3,"browser":"firefox",
        "chrome":{"args":["--b","--b","--a"],"binaryPath":"/bin/chrome","chromedriverPath":7}}})");
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->browsertime.headless);
    EXPECT_TRUE(full->browsertime.skipHar);
    EXPECT_EQ(full->browsertime.iterations, 3u);
    EXPECT_EQ(full->browsertime.browser, "firefox");
    EXPECT_EQ(full->browsertime.chrome.args, (std::set<std::string>{"--a", "--b"}));
    EXPECT_EQ(*full->browsertime.chrome.args.begin(), "--a");
    EXPECT_EQ(full->browsertime.chrome.binaryPath, "/bin/chrome");
    EXPECT_FALSE(full->browsertime.chrome.chromedriverPath);
}

// The DNS task against a real DNS server (dnsmasq) inside a private network
// namespace whose resolver configuration names it; time-outs against a
// resolver that never answers; configuration errors.

#include "DnsSandbox.h"

#include "TaskRunner.h"
#include "helper/SysInfoCollector.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "model/result/TaskResultWriter.h"
#include "tasks/DnsTask.h"

#include <ares.h>
#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace trevask::measurement_library;
using lumivex::test::DnsmasqPeer;
using lumivex::test::DnsSandbox;
using lumivex::test::SilentUdpPeer;

namespace {

constexpr long long kMs = 1000000;

std::unique_ptr<DnsTaskConfiguration> dnsConfiguration(const std::string& host, std::optional<std::string> record,
                                                       long long timeoutNs = 2000 * kMs) {
    auto config = std::make_unique<DnsTaskConfiguration>();
    config->qostest = "dns";
    config->qos_test_uid = "412";
    config->concurrency_group = 700;
    config->timeout = std::to_string(timeoutNs);
    config->queryHost = host;
    config->record = std::move(record);
    config->resolver = "9.9.9.9";
    return config;
}

std::unique_ptr<DnsTaskResult> runDns(DnsTaskConfiguration& config, TaskStatus* status = nullptr) {
    auto task = DnsTask::create(&config);
    task->runTask();
    if (status != nullptr) *status = task->getStatus();
    auto result = task->createResult();
    if (!result) return nullptr;
    auto* dns = dynamic_cast<DnsTaskResult*>(result.get());
    if (dns == nullptr) return nullptr;
    result.release();
    return std::unique_ptr<DnsTaskResult>(dns);
}

std::set<std::string> addressesOf(const DnsTaskResult& result) {
    std::set<std::string> addresses;
    for (const auto& entry : result.dns_result_entries) addresses.insert(entry.dns_result_address);
    return addresses;
}

class DnsTaskSandboxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sandboxProblem = DnsSandbox::enter();
        if (!sandboxProblem.empty()) return;
        server = std::make_unique<DnsmasqPeer>();
        serverProblem = server->start({
            "--host-record=both.test,192.0.2.10,2001:db8::10,300",
            "--host-record=v4only.test,192.0.2.20,120",
            "--host-record=v6only.test,2001:db8::30,60",
            "--mx-host=both.test,mail.test,10",
            "--txt-record=both.test,\"v=lumivex\"",
        });
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override {
        if (!sandboxProblem.empty()) GTEST_SKIP() << "private network namespace not permitted: " << sandboxProblem;
        ASSERT_EQ(serverProblem, "");
        // c-ares reads "retry:" (tries per server) from resolv.conf; one try
        // keeps the time-out cases short.
        DnsSandbox::writeResolvConf("nameserver 127.0.0.1\noptions retry:1\n");
    }

    static inline std::string sandboxProblem;
    static inline std::string serverProblem;
    static inline std::unique_ptr<DnsmasqPeer> server;
};

struct LookupCase {
    const char* name;
    const char* host;
    std::optional<std::string> record;
    const char* statusName;
    std::set<std::string> addresses;
    std::uint64_t ttl;  // of every entry
};

TEST_F(DnsTaskSandboxTest, LookupsAnswerFromTheSystemResolver) {
    const std::vector<LookupCase> cases = {
        {"A asks for IPv4 only", "both.test", "A", "NOERROR", {"192.0.2.10"}, 300},
        {"AAAA asks for IPv6 only", "both.test", "AAAA", "NOERROR", {"2001:db8::10"}, 300},
        {"MX resolves both families", "both.test", "MX", "NOERROR", {"192.0.2.10", "2001:db8::10"}, 300},
        {"TXT resolves both families", "both.test", "TXT", "NOERROR", {"192.0.2.10", "2001:db8::10"}, 300},
        {"no record resolves both families", "both.test", std::nullopt, "NOERROR", {"192.0.2.10", "2001:db8::10"}, 300},
        {"record text is case-sensitive", "both.test", "aaaa", "NOERROR", {"192.0.2.10", "2001:db8::10"}, 300},
        {"IPv4-only name, any family", "v4only.test", std::nullopt, "NOERROR", {"192.0.2.20"}, 120},
        {"IPv6-only name, AAAA", "v6only.test", "AAAA", "NOERROR", {"2001:db8::30"}, 60},
        {"existing name without AAAA", "v4only.test", "AAAA", "NOERROR", {}, 0},
        {"name that does not exist", "nosuch.test", "A", "NXDOMAIN", {}, 0},
        // c-ares 1.18 reports a server's REFUSED through getaddrinfo as
        // ARES_ECONNREFUSED ("could not contact DNS servers").
        {"server refuses the name", "elsewhere.example", std::nullopt, "UNKNOWN_CODE", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = dnsConfiguration(c.host, c.record);
        TaskStatus status = TaskStatus::NotFinished;
        auto result = runDns(*config, &status);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(status, TaskStatus::Ok);
        EXPECT_EQ(result->status, "OK");
        EXPECT_EQ(result->dns_result_info, "OK");
        EXPECT_EQ(result->dns_result_status, c.statusName);
        EXPECT_EQ(addressesOf(*result), c.addresses);
        EXPECT_EQ(result->dns_result_entries_found, result->dns_result_entries.size());
        EXPECT_EQ(result->dns_result_entries.size(), c.addresses.size());
        for (const auto& entry : result->dns_result_entries) EXPECT_EQ(entry.dns_result_ttl, c.ttl);
        ASSERT_TRUE(result->dns_result_duration.has_value());
        EXPECT_LT(*result->dns_result_duration, 2000u * kMs);
        EXPECT_EQ(result->dns_objective_host, c.host);
        EXPECT_EQ(result->dns_objective_dns_record, c.record);
    }
}

TEST_F(DnsTaskSandboxTest, ResultCarriesTheCommonMembersAndIsWrittenAsDnsObject) {
    auto config = dnsConfiguration("both.test", "A");
    auto task = DnsTask::create(config.get());
    task->runTask();
    auto result = task->createResult();
    ASSERT_NE(result, nullptr);
    // createResult hands out copies: a second call gives the same record.
    auto again = task->createResult();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again.get(), result.get());

    boost::json::value written;
    TaskResultWriter(written, result.get());
    ASSERT_TRUE(written.is_object()) << boost::json::serialize(written);
    const auto& object = written.as_object();
    EXPECT_EQ(object.at("objective_id").to_number<int>(), 412);
    EXPECT_EQ(object.at("qos_test_uid"), "412");
    EXPECT_EQ(object.at("objective_concurrency_group").to_number<int>(), 700);
    EXPECT_EQ(object.at("test_type"), "dns");
    EXPECT_EQ(object.at("status"), "OK");
    EXPECT_EQ(object.at("dns_objective_host"), "both.test");
    EXPECT_EQ(object.at("dns_objective_dns_record"), "A");
    EXPECT_EQ(object.at("dns_objective_resolver"), "9.9.9.9");
    EXPECT_EQ(object.at("dns_result_info"), "OK");
    EXPECT_EQ(object.at("dns_result_status"), "NOERROR");
    EXPECT_EQ(object.at("dns_result_entries_found").to_number<int>(), 1);
    EXPECT_GT(object.at("dns_result_duration").to_number<std::uint64_t>(), 0u);
    const auto& entries = object.at("dns_result_entries").as_array();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].at("dns_result_address"), "192.0.2.10");
    EXPECT_EQ(entries[0].at("dns_result_ttl").to_number<int>(), 300);
    EXPECT_EQ(result->timeout_ns, 2000 * kMs);
}

TEST_F(DnsTaskSandboxTest, UnansweredOrRefusedResolverEndsAsUnknownCode) {
    SilentUdpPeer silent("127.0.0.2", 53);
    struct Case {
        const char* name;
        const char* nameserver;
        long long timeoutNs;
        std::int64_t minimumMs;
    };
    const std::vector<Case> cases = {
        {"resolver never answers", "127.0.0.2", 300 * kMs, 300},
        {"per-try time-out rounds down to 0 ms", "127.0.0.2", 999999, 0},
        {"nothing listens at the resolver", "127.0.0.3", 300 * kMs, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DnsSandbox::writeResolvConf(std::string("nameserver ") + c.nameserver + "\noptions retry:1\n");
        auto config = dnsConfiguration("both.test", "A", c.timeoutNs);
        const auto begin = std::chrono::steady_clock::now();
        TaskStatus status = TaskStatus::NotFinished;
        auto result = runDns(*config, &status);
        const auto tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(status, TaskStatus::Ok);
        EXPECT_EQ(result->dns_result_info, "OK");
        EXPECT_EQ(result->dns_result_status, "UNKNOWN_CODE");
        EXPECT_EQ(result->dns_result_entries_found, 0u);
        EXPECT_TRUE(result->dns_result_entries.empty());
        EXPECT_GE(tookMs, c.minimumMs);
        EXPECT_LT(tookMs, 3000);
    }
}

TEST_F(DnsTaskSandboxTest, MalformedNamesCompleteWithoutEntries) {
    // c-ares refuses these names itself (ARES_EBADNAME or ARES_ENOTFOUND
    // before any query) or the server answers NXDOMAIN; none is a task failure.
    const std::vector<std::pair<std::string, const char*>> cases = {
        {"", "UNKNOWN_CODE"},
        {std::string(300, 'a') + ".test", "UNKNOWN_CODE"},
        {"a..test", "UNKNOWN_CODE"},
        {"bad name.test", "NXDOMAIN"},
    };
    for (const auto& [host, statusName] : cases) {
        SCOPED_TRACE(host);
        auto config = dnsConfiguration(host, std::nullopt);
        TaskStatus status = TaskStatus::NotFinished;
        auto result = runDns(*config, &status);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(status, TaskStatus::Ok);
        EXPECT_EQ(result->dns_result_info, "OK");
        EXPECT_EQ(result->dns_result_status, statusName);
        EXPECT_TRUE(result->dns_result_entries.empty());
    }
}

TEST_F(DnsTaskSandboxTest, RunnerPreparesTheLibraryAndRunsTasksOfOneGroupTogether) {
    auto first = dnsConfiguration("both.test", "A");
    auto second = dnsConfiguration("nosuch.test", std::nullopt);
    second->qos_test_uid = "413";
    std::vector<std::unique_ptr<BaseTask>> tasks;
    tasks.push_back(DnsTask::create(first.get()));
    tasks.push_back(DnsTask::create(second.get()));

    TaskRunner runner;
    runner.setTasks(std::move(tasks));
    SysInfoCollector collector;
    auto results = runner.run(collector);
    ASSERT_EQ(results.size(), 2u);
    std::set<std::string> statuses;
    for (const auto& result : results) {
        auto* dns = dynamic_cast<DnsTaskResult*>(result.get());
        ASSERT_NE(dns, nullptr);
        statuses.insert(dns->qos_test_uid + " " + dns->dns_result_status.value_or("-"));
    }
    EXPECT_EQ(statuses, (std::set<std::string>{"412 NOERROR", "413 NXDOMAIN"}));
}

// Configuration errors need no DNS server.

TEST(DnsTaskConfigurationTest, BadConfigurationEndsAsErrorWithoutResult) {
    TracerouteTaskConfiguration otherKind;
    auto badTimeout = dnsConfiguration("both.test", "A");
    badTimeout->timeout = "soon";
    auto hugeTimeout = dnsConfiguration("both.test", "A");
    hugeTimeout->timeout = "99999999999999999999";
    struct Case {
        const char* name;
        TaskConfiguration* configuration;
        const char* output;
    };
    const std::vector<Case> cases = {
        {"no configuration", nullptr, "TaskException No configuration provided"},
        {"configuration of another kind", &otherKind, "TaskException Configuration is not a DNS Task configuration"},
        {"time-out not a number", badTimeout.get(), "std::exception invalid stoll argument"},
        {"time-out out of range", hugeTimeout.get(), "std::exception stoll argument out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto task = DnsTask::create(c.configuration);
        ::testing::internal::CaptureStdout();
        task->runTask();
        const std::string output = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(task->getStatus(), TaskStatus::Error);
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
        EXPECT_EQ(task->createResult(), nullptr);
    }
}

TEST(DnsTaskConfigurationTest, FactoryAcceptsOnlyDnsConfigurations) {
    DnsTaskConfiguration dns;
    TracerouteTaskConfiguration traceroute;
    EXPECT_TRUE(DnsTask::accepts(&dns));
    EXPECT_FALSE(DnsTask::accepts(&traceroute));
    EXPECT_FALSE(DnsTask::accepts(nullptr));
    auto task = DnsTask::create(&dns);
    EXPECT_EQ(task->name(), "DNS");
    EXPECT_FALSE(task->needsControlConnection());
    EXPECT_EQ(task->getConfiguration(), &dns);
}

TEST(DnsTaskConfigurationTest, PerTryTimeoutIsWholeMillisecondsWithinIntRange) {
    const std::vector<std::pair<long long, int>> cases = {
        {999999, 0},  {1000000, 1},          {2500000000LL, 2500}, {0, 0},
        {-5000000, 0}, {9000000000000000000LL, INT_MAX},
    };
    for (const auto& [ns, ms] : cases) EXPECT_EQ(DnsTask::perTryTimeoutMs(ns), ms) << ns;
}

TEST(DnsTaskConfigurationTest, StatusNamesFollowTheResponseCodeTheyStandFor) {
    const std::vector<std::pair<int, const char*>> cases = {
        {ARES_SUCCESS, "NOERROR"},   {ARES_ENODATA, "NOERROR"},         {ARES_EFORMERR, "FORMERR"},
        {ARES_ESERVFAIL, "SERVFAIL"}, {ARES_ENOTFOUND, "NXDOMAIN"},      {ARES_ENOTIMP, "NOTIMP"},
        {ARES_EREFUSED, "REFUSED"},  {ARES_ETIMEOUT, "UNKNOWN_CODE"},   {ARES_ECONNREFUSED, "UNKNOWN_CODE"},
        {-1, "UNKNOWN_CODE"},        {ARES_EDESTRUCTION, "UNKNOWN_CODE"},
    };
    for (const auto& [status, name] : cases) EXPECT_EQ(dnsRcodeName(status), name) << status;
}

}  // namespace

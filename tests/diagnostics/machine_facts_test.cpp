// Machine facts, network type and active interface from fixture trees and
// from the real machine.

#include "helper/ProbeHelper.h"
#include "helper/system/NetworkTypeId.h"
#include "helper/system/WindowsSystemHelper.h"
#include "platform/system/MachineQueries.h"
#include "platform/system/NetworkStatus.h"
#include "platform/system/PerformanceCounters.h"

#include <gtest/gtest.h>

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

using trevask::measurement_library::MachineFacts;
using trevask::measurement_library::ProbeHelper;
using trevask::measurement_library::WindowsSystemHelper;
namespace platform = lumivex::platform;

namespace {

// A throw-away tree of files below /tmp.
class Fixture {
public:
    explicit Fixture(const std::string& name)
        : root_(std::filesystem::temp_directory_path() / ("lumivex-root-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~Fixture() { std::filesystem::remove_all(root_); }
    Fixture& file(const std::string& relative, const std::string& content) {
        auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << content;
        return *this;
    }
    Fixture& folder(const std::string& relative) {
        std::filesystem::create_directories(root_ / relative);
        return *this;
    }
    // An interface folder with its hardware type, index and counters.
    Fixture& interface(const std::string& name, int type, int index, bool wireless = false,
                       std::uint64_t tx = 0, std::uint64_t rx = 0) {
        std::string base = "sys/class/net/" + name + "/";
        file(base + "type", std::to_string(type) + "\n");
        file(base + "ifindex", std::to_string(index) + "\n");
        file(base + "statistics/tx_bytes", std::to_string(tx) + "\n");
        file(base + "statistics/rx_bytes", std::to_string(rx) + "\n");
        if (wireless) folder(base + "wireless");
        return *this;
    }
    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_;
};

const char* kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string route(const std::string& iface, const std::string& destination, const std::string& flags,
                  const std::string& mask) {
    return iface + "\t" + destination + "\t010200C0\t" + flags + "\t0\t0\t0\t" + mask + "\t0\t0\t0\n";
}

std::string ipv6Default(const std::string& iface, const std::string& flags) {
    return std::string(32, '0') + " 00 " + std::string(32, '0') + " 00 fe800000000000000000000000000001 00000400 00000001 00000000 " +
           flags + " " + iface + "\n";
}

void addFullMachine(Fixture& fixture) {
    fixture.file("etc/os-release", "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n")
        .file("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n")
        .file("proc/sys/kernel/arch", "x86_64\n")
        .file("sys/class/dmi/id/product_name", "ThinkPad X1\n")
        .file("sys/class/dmi/id/sys_vendor", "LENOVO\n")
        .file("sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f564e32\n");
}

}  // namespace

TEST(MachineFacts, ReadFromAFixtureTree) {
    Fixture fixture("facts");
    addFullMachine(fixture);

    auto os = boost::json::parse(platform::queryCimInstance("Win32_OperatingSystem", fixture.root())).as_object();
    EXPECT_EQ(os.at("Caption"), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(os.at("Version"), "6.1.0-18-amd64");
    EXPECT_EQ(os.at("OSArchitecture"), "x86_64");

    MachineFacts facts = WindowsSystemHelper::readMachineFacts(fixture.root());
    EXPECT_EQ(facts.osName, "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(facts.osVersion, "6.1.0-18-amd64");
    EXPECT_EQ(facts.osArchitecture, "x86_64");
    EXPECT_EQ(facts.model, "ThinkPad X1");
    EXPECT_EQ(facts.manufacturer, "LENOVO");
    EXPECT_EQ(facts.systemUuid, "4c4c4544-0042-3510-8052-b4c04f564e32");
}

TEST(MachineFacts, MissingSources) {
    {
        // No DMI at all (containers, many ARM boards): the defaults stay.
        Fixture fixture("nodmi");
        fixture.file("usr/lib/os-release", "NAME='Alpine Linux'\n").file("proc/sys/kernel/arch", "aarch64\n");
        MachineFacts facts = WindowsSystemHelper::readMachineFacts(fixture.root());
        EXPECT_EQ(facts.osName, "Alpine Linux");
        EXPECT_EQ(facts.osVersion, std::nullopt);
        EXPECT_EQ(facts.osArchitecture, "aarch64");
        EXPECT_EQ(facts.model, "Linux");
        EXPECT_EQ(facts.manufacturer, std::nullopt);
        EXPECT_EQ(facts.systemUuid, std::nullopt);
    }
    {
        // A DMI folder without the files: the facts are cleared, defaults too.
        Fixture fixture("emptydmi");
        fixture.folder("sys/class/dmi/id");
        MachineFacts facts = WindowsSystemHelper::readMachineFacts(fixture.root());
        EXPECT_EQ(facts.osName, "Linux");  // no OS sources: the query answered nothing
        EXPECT_EQ(facts.model, std::nullopt);
        EXPECT_EQ(facts.systemUuid, std::nullopt);
        auto product = boost::json::parse(platform::queryCimInstance("Win32_ComputerSystemProduct", fixture.root()));
        EXPECT_TRUE(product.at("UUID").is_null());
    }
}

TEST(MachineFacts, CopyJsonStringTakesStringsOnly) {
    auto obj = boost::json::parse(R"({"s":"text","n":3,"z":null,"o":{},"e":""})").as_object();
    struct Case {
        const char* key;
        std::optional<std::string> expected;
    } cases[] = {{"s", "text"}, {"e", ""}, {"n", std::nullopt}, {"z", std::nullopt}, {"o", std::nullopt}, {"missing", std::nullopt}};
    for (const auto& c : cases) {
        std::optional<std::string> out = "previous";
        WindowsSystemHelper::copyJsonString(obj, c.key, out);
        EXPECT_EQ(out, c.expected) << c.key;
    }
}

TEST(MachineFacts, ProcessWideFactsAndIdentityFromAFixture) {
    Fixture fixture("processwide");
    addFullMachine(fixture);
    WindowsSystemHelper::setSystemRoot(fixture.root());
    if (WindowsSystemHelper::isSysInfoRead()) GTEST_SKIP() << "facts already read in this process";

    // Many first readers at once: one read, every reader sees its result.
    std::vector<std::thread> threads;
    std::vector<std::string> ids(8);
    for (int i = 0; i < 8; ++i) threads.emplace_back([&ids, i] { ids[i] = ProbeHelper::getBoardId(); });
    for (auto& thread : threads) thread.join();
    for (const auto& id : ids) EXPECT_EQ(id, "4c4c4544-0042-3510-8052-b4c04f564e32");
    EXPECT_TRUE(WindowsSystemHelper::isSysInfoRead());
    EXPECT_EQ(ProbeHelper::getCodeName(), "ThinkPad X1 x86_64 LENOVO");
    EXPECT_EQ(ProbeHelper::getCodeNameForContext(), ProbeHelper::getCodeName());
    EXPECT_EQ(ProbeHelper::getModel(), "ThinkPad X1");
    EXPECT_EQ(WindowsSystemHelper::getOsName(), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(ProbeHelper::getImageName(), std::nullopt);
    EXPECT_EQ(ProbeHelper::getImageBuildTimestamp(), std::nullopt);
}

TEST(MachineFacts, RealMachine) {
    WindowsSystemHelper::setSystemRoot("/");
    std::string boardId = ProbeHelper::getBoardId();
    EXPECT_FALSE(boardId.empty());
    auto codeName = ProbeHelper::getCodeName();
    ASSERT_TRUE(codeName);
    EXPECT_EQ(std::count(codeName->begin(), codeName->end(), ' ') >= 2, true);
    EXPECT_TRUE(WindowsSystemHelper::getOsName().has_value());
    EXPECT_TRUE(WindowsSystemHelper::getOsArchitecture().has_value());
    auto hostname = ProbeHelper::getHostname();
    ASSERT_TRUE(hostname);
    EXPECT_EQ(hostname->find('\n'), std::string::npos);
    char expected[256] = {};
    ::gethostname(expected, sizeof(expected) - 1);
    EXPECT_EQ(*hostname, expected);
}

TEST(NetworkType, FromDefaultRoutesAndInterfaceKinds) {
    struct Case {
        const char* name;
        std::string route;
        std::string ipv6Route;
        int expected;
    } cases[] = {
        {"wired default", route("eth0", "00000000", "0003", "00000000"), "", 98},
        {"wifi default", route("wlan0", "00000000", "0003", "00000000"), "", 99},
        {"wired wins", route("wlan0", "00000000", "0003", "00000000") + route("eth0", "00000000", "0003", "00000000"), "", 98},
        {"no default route", route("eth0", "000200C0", "0001", "00FFFFFF"), "", 95},
        {"default route down", route("eth0", "00000000", "0002", "00000000"), "", 95},
        {"tunnel counts as other", route("tun0", "00000000", "0001", "00000000"), "", 99},
        {"ipv6 only", "", ipv6Default("eth0", "00000003"), 98},
        {"ipv6 reject on lo", "", ipv6Default("lo", "00200200"), 95},
        {"ipv6 reject elsewhere", "", ipv6Default("eth0", "00000201"), 95},
        {"no route files", "", "", 95},
    };
    for (const auto& c : cases) {
        Fixture fixture("nettype");
        fixture.interface("eth0", 1, 2).interface("wlan0", 1, 3, true).interface("tun0", 65534, 4).interface("lo", 772, 1);
        if (!c.route.empty()) fixture.file("proc/net/route", kRouteHeader + c.route);
        if (!c.ipv6Route.empty()) fixture.file("proc/net/ipv6_route", c.ipv6Route);
        EXPECT_EQ(WindowsSystemHelper::networkTypeFrom(fixture.root()), c.expected) << c.name;
    }
}

TEST(NetworkType, RealMachine) {
    auto type = WindowsSystemHelper::getCurrentNetworkType();
    EXPECT_TRUE(type == 95 || type == 98 || type == 99) << type;
    auto connected = platform::defaultRouteInterfaces("/");
    bool wired = std::any_of(connected.begin(), connected.end(), [](const std::string& name) {
        return platform::interfaceKind("/", name) == platform::InterfaceKind::Ethernet;
    });
    if (connected.empty()) {
        EXPECT_EQ(type, 95);
    } else {
        EXPECT_EQ(type, wired ? 98 : 99);
    }
    EXPECT_EQ(trevask::measurement_library::networkTechnology(98), "LAN");
    EXPECT_EQ(trevask::measurement_library::networkTechnology(95), "UNKNOWN");
    EXPECT_EQ(trevask::measurement_library::networkTechnology(7), std::nullopt);
}

TEST(ActiveInterface, FirstQualifyingInterface) {
    Fixture fixture("active");
    fixture.interface("eth0", 1, 2).interface("wlan0", 1, 3, true);
    using Entry = platform::NetworkInterfaceEntry;
    Entry lo{"lo", 1, true, true, true, {"127.0.0.1"}, {"::1"}};
    Entry ethDown{"eth0", 2, false, false, false, {"192.0.2.10"}, {}};
    Entry eth{"eth0", 2, true, true, false, {"192.0.2.10", "192.0.2.11"}, {"fe80::1%eth0"}};
    Entry wlan{"wlan0", 3, true, true, false, {"198.51.100.7"}, {}};
    Entry wlan6{"wlan0", 3, true, true, false, {}, {"fe80::abcd%wlan0", "2001:db8::1"}};
    Entry notRunning{"eth0", 2, true, false, false, {"192.0.2.10"}, {}};
    Entry loopAddress{"dummy0", 9, true, true, false, {"127.0.0.2"}, {}};

    struct Case {
        const char* name;
        std::vector<Entry> entries;
        int index;
        const char* ipv4;
        const char* ipv6;
        int typeCode;
    } cases[] = {
        {"loopback only", {lo}, -1, "", "", 98},
        {"nothing", {}, -1, "", "", 98},
        {"first wired", {lo, eth, wlan}, 2, "192.0.2.10", "", 98},
        {"down and not running skipped", {lo, ethDown, notRunning, wlan}, 3, "198.51.100.7", "", 99},
        {"ipv6 only, zone cut", {lo, wlan6}, 3, "", "fe80::abcd", 99},
        {"loopback address skipped", {loopAddress, eth}, 2, "192.0.2.10", "", 98},
    };
    for (const auto& c : cases) {
        auto info = WindowsSystemHelper::activeInterfaceFrom(c.entries, fixture.root());
        ASSERT_TRUE(info) << c.name;
        EXPECT_EQ(info->index, c.index) << c.name;
        EXPECT_EQ(info->ipv4, c.ipv4) << c.name;
        EXPECT_EQ(info->ipv6, c.ipv6) << c.name;
        EXPECT_EQ(info->typeCode, c.typeCode) << c.name;
    }
    EXPECT_EQ(WindowsSystemHelper::withoutZone("fe80::1%eth0"), "fe80::1");
    EXPECT_EQ(WindowsSystemHelper::withoutZone("%odd"), "%odd");
    EXPECT_EQ(WindowsSystemHelper::withoutZone("2001:db8::1"), "2001:db8::1");
}

TEST(ActiveInterface, RealMachine) {
    auto info = WindowsSystemHelper::getActiveNetworkInterface();
    ASSERT_TRUE(info);
    if (info->index == -1) {
        EXPECT_EQ(WindowsSystemHelper::getLocalIpv4(), std::nullopt);
        return;
    }
    EXPECT_FALSE(info->name.empty());
    EXPECT_TRUE(info->ipv4.empty() != info->ipv6.empty());
    EXPECT_EQ(platform::interfaceNameForIndex("/", info->index), info->name);
    EXPECT_TRUE(platform::interfaceOctets("/", info->name).has_value());
}

TEST(InterfaceCounters, FromAFixtureTree) {
    Fixture fixture("counters");
    fixture.interface("eth0", 1, 2, false, 1000, 5000).file("sys/class/net/bad/statistics/tx_bytes", "garbage\n");
    EXPECT_EQ(platform::interfaceNameForIndex(fixture.root(), 2), "eth0");
    EXPECT_EQ(platform::interfaceNameForIndex(fixture.root(), 7), std::nullopt);
    EXPECT_EQ(platform::interfaceNameForIndex(fixture.root(), -1), std::nullopt);
    auto octets = platform::interfaceOctets(fixture.root(), "eth0");
    ASSERT_TRUE(octets);
    EXPECT_EQ(octets->first, 1000u);
    EXPECT_EQ(octets->second, 5000u);
    EXPECT_EQ(platform::interfaceOctets(fixture.root(), "bad"), std::nullopt);
    EXPECT_EQ(platform::interfaceOctets(fixture.root(), "../../../etc"), std::nullopt);
}

TEST(PerformanceCounters, CpuFromStatDeltasAndMemoryFromMeminfo) {
    Fixture fixture("pdh");
    // user nice system idle iowait irq softirq steal
    fixture.file("proc/stat", "cpu  100 0 50 800 50 0 0 0 0 0\ncpu0 1 2 3 4\n")
        .file("proc/meminfo", "MemTotal:       1000 kB\nMemFree:         100 kB\nMemAvailable:    250 kB\n");
    platform::PerformanceQuery query(fixture.root());
    platform::PdhCounter cpu{}, memory{}, unknown{};
    double value = 0;
    EXPECT_NE(query.addEnglishCounter("\\Processor(_Total)\\% Processor Time", cpu), platform::kPdhOk);  // not open
    ASSERT_EQ(query.open(), platform::kPdhOk);
    ASSERT_EQ(query.addEnglishCounter("\\Processor(_Total)\\% Processor Time", cpu), platform::kPdhOk);
    ASSERT_EQ(query.addEnglishCounter("\\Memory\\% Committed Bytes In Use", memory), platform::kPdhOk);
    EXPECT_EQ(query.addEnglishCounter("\\Disk\\Nothing", unknown), platform::kPdhNoCounter);

    ASSERT_EQ(query.collect(), platform::kPdhOk);
    EXPECT_EQ(query.formattedValue(cpu, value), platform::kPdhInvalidData);  // first collection is the baseline
    ASSERT_EQ(query.formattedValue(memory, value), platform::kPdhOk);
    EXPECT_DOUBLE_EQ(value, 75.0);

    // 30 busy of 80 jiffies: 37.5 %
    fixture.file("proc/stat", "cpu  120 0 60 860 40 0 0 0 0 0\n");
    ASSERT_EQ(query.collect(), platform::kPdhOk);
    ASSERT_EQ(query.formattedValue(cpu, value), platform::kPdhOk);
    EXPECT_DOUBLE_EQ(value, 37.5);

    // Counters that went backwards give no value rather than a wrapped one.
    fixture.file("proc/stat", "cpu  10 0 0 10 0 0 0 0 0 0\n");
    ASSERT_EQ(query.collect(), platform::kPdhOk);
    EXPECT_EQ(query.formattedValue(cpu, value), platform::kPdhInvalidData);

    fixture.file("proc/meminfo", "nonsense\n");
    EXPECT_NE(query.collect(), platform::kPdhOk);
    platform::PerformanceQuery missing(fixture.root() / "nowhere");
    EXPECT_NE(missing.open(), platform::kPdhOk);
}

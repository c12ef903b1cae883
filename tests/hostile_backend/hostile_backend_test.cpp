// The agent against a hostile or broken back end (the backend peer run as a
// process, with its misbehaviour switches): every case ends within a stated
// bound, keeps the agent's memory bounded, gives the UI a clear failure,
// never claims a report as sent that the collector did not accept, and
// leaves the agent able to serve the next call.

#include "ChildProcess.h"
#include "ScopedEnvironment.h"
#include "../measurement/MeasurementTestSupport.h"

#include "model/AgentApiResponses.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/RequestService.h"
#include "service/UndeliveredReports.h"
#include "service/VelaService.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using trevask::measurement_library::MeasurementExecutorService;
using trevask::measurement_library::MeasurementExecutorSettings;
using trevask::measurement_library::MeasurementResultResponse;
using trevask::measurement_library::RequestService;
using trevask::measurement_library::StartMeasurementParameters;
using trevask::measurement_sdk::VelaService;
using lumivex::test::Child;
using lumivex::test::ChildOptions;
using lumivex::test::ScopedEnvironment;
using lumivex::test::TempDir;

constexpr std::int32_t kControllerTimeoutMs = 2000;
constexpr std::int32_t kCollectorTimeoutMs = 3000;
// What a case may take beyond its time-outs: planning, one echo program,
// report building and start-up of the exchange.
constexpr auto kMargin = 3s;
constexpr long kMaxRssKiB = 100 * 1024;

// The peak of this process's resident memory so far (VmHWM, the high-water
// mark of VmRSS), so that a body held only for a moment counts too.
long vmRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// The backend peer as a process, serving a document with one quick program.
class BackendProcess {
public:
    explicit BackendProcess(const std::vector<std::string>& switches, const TempDir& dir) {
        measurement_test::DocumentSpec document;
        document.programs = {{"PROGRAM_ECHO", "echo", "x"}};
        const std::string controlFile = dir.file("control.json");
        std::ofstream(controlFile) << measurement_test::controlDocument(document);
        std::vector<std::string> argv{LUMIVEX_BINARY_DIR "/tests/peers/backend/backend", "--control-file", controlFile,
                                      "--max-seconds", "120"};
        argv.insert(argv.end(), switches.begin(), switches.end());
        child_.emplace(argv, ChildOptions{});
        if (!child_->readUntil("}\n", 10s)) return;
        const auto line = child_->output().substr(0, child_->output().find('\n'));
        const auto ports = boost::json::parse(line).as_object();
        httpPort_ = static_cast<int>(ports.at("http_port").as_int64());
        httpsPort_ = static_cast<int>(ports.at("https_port").as_int64());
    }
    bool started() const { return httpPort_ > 0; }
    std::string base(bool tls = false) const {
        return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(tls ? httpsPort_ : httpPort_);
    }

private:
    std::optional<Child> child_;
    int httpPort_ = 0;
    int httpsPort_ = 0;
};

struct Outcome {
    std::unique_ptr<MeasurementResultResponse> answer;
    std::string failure;
    std::string keptReport;
    std::chrono::milliseconds took{0};
};

// What VelaService::startMeasurement does, with short time-outs so that a
// stalling collector is given up in seconds, not minutes.
Outcome measure(const std::string& controller, std::optional<std::string> agentUuid) {
    StartMeasurementParameters params;
    params.controllerUrl = controller;
    params.agentUuid = agentUuid.value_or("");
    params.performQos = false;
    params.performSpeed = false;
    params.overrideCollectorUrl = controller + "/collector/result";
    auto settings = VelaService::buildExecutorSettings(params);
    settings->controllerTimeoutMs = kControllerTimeoutMs;
    settings->collectorTimeoutMs = kCollectorTimeoutMs;
    Outcome outcome;
    const auto start = std::chrono::steady_clock::now();
    try {
        outcome.answer =
            MeasurementExecutorService::getInstance().executeFullMeasurement(settings.get(), true, true, true);
        outcome.failure = settings->failure;
    } catch (const std::exception& e) {
        outcome.failure = settings->failure + (settings->failure.empty() ? "" : "; ") + e.what();
    }
    outcome.keptReport = settings->keptReportPath;
    outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return outcome;
}

class HostileBackend : public testing::Test {
protected:
    TempDir dir{"/tmp/lumivex-hostile-XXXXXX"};
    ScopedEnvironment dataHome{"XDG_DATA_HOME", dir.path()};
};

// After any misbehaviour the agent still serves its UI and can measure.
void expectStillServing() {
    TempDir dir("/tmp/lumivex-hostile-XXXXXX");
    BackendProcess good({}, dir);
    ASSERT_TRUE(good.started());
    EXPECT_FALSE(MeasurementExecutorService::isRunning());
    auto ui = RequestService::getInstance()->performStringRequest(good.base() + "/api/v1/tiles/info", "GET", "",
                                                                  std::nullopt, 5000);
    ASSERT_TRUE(ui);
    EXPECT_EQ(ui->status, 200);
    const Outcome next = measure(good.base(), "given-agent");
    EXPECT_NE(next.answer, nullptr) << next.failure;
}

}  // namespace

TEST_F(HostileBackend, EveryMisbehaviourEndsInTimeWithBoundedMemoryAndAClearFailure) {
    struct Case {
        std::string name;
        std::vector<std::string> switches;
        bool registers;         // no agent UUID given: the registration runs
        bool answered;          // the collector accepted the report
        std::string failure;    // a part of the failure text
        bool reportKept;        // the report was built, sent and not accepted
        std::chrono::milliseconds bound;
    };
    const auto controller = std::chrono::milliseconds(kControllerTimeoutMs);
    const auto collector = std::chrono::milliseconds(kCollectorTimeoutMs);
    const std::vector<Case> cases = {
        {"registration drips", {"--misbehave", "registration=drip"}, true, true, "registration failed: Timeout", false,
         2 * controller},
        {"control silent", {"--misbehave", "control=silent"}, false, false, "control document not received: Timeout",
         false, controller},
        {"control drips", {"--misbehave", "control=drip"}, false, false, "control document not received: Timeout", false,
         controller},
        {"control endless body", {"--misbehave", "control=endless"}, false, false, "larger than 16777216 bytes", false,
         controller},
        {"control huge body", {"--misbehave", "control=huge", "--huge-mib", "50"}, false, false,
         "larger than 16777216 bytes", false, controller},
        {"control 500", {"--misbehave", "control=500"}, false, false, "HTTP 500 Internal Server Error", false, controller},
        {"control 404", {"--misbehave", "control=404"}, false, false, "HTTP 404 Not Found: not found", false, controller},
        {"control redirect loop", {"--misbehave", "control=redirect-loop"}, false, false, "HTTP 302", false, controller},
        {"registration 500", {"--misbehave", "registration=500", "--misbehave", "control=500"}, true, false,
         "registration failed: HTTP 500", false, 2 * controller},
        {"collector silent", {"--misbehave", "collector=silent"}, false, false, "not accepted by the collector: Timeout",
         true, collector},
        {"collector drips", {"--misbehave", "collector=drip"}, false, false, "not accepted by the collector: Timeout", true,
         collector},
        {"collector endless body", {"--misbehave", "collector=endless"}, false, false, "larger than 16777216 bytes", true,
         collector},
        {"collector 500", {"--misbehave", "collector=500"}, false, false, "HTTP 500 Internal Server Error", true, collector},
        {"collector 404", {"--misbehave", "collector=404"}, false, false, "HTTP 404 Not Found: not found", true, collector},
        {"collector redirect loop", {"--misbehave", "collector=redirect-loop"}, false, false, "HTTP 302", true, collector},
        {"collector refuses", {"--misbehave", "collector=close"}, false, false, "not accepted by the collector", true,
         collector},
    };
    long largestRss = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BackendProcess backend(c.switches, dir);
        ASSERT_TRUE(backend.started());
        const Outcome outcome =
            measure(backend.base(), c.registers ? std::nullopt : std::optional<std::string>("given-agent"));
        // A registration that failed leaves the agent without UUID; the
        // measurement still runs and is reported, as without any answer.
        EXPECT_EQ(outcome.answer != nullptr, c.answered);
        EXPECT_LT(outcome.took, c.bound + kMargin);
        largestRss = std::max(largestRss, vmRssKiB());
        EXPECT_LT(vmRssKiB(), kMaxRssKiB);
        EXPECT_NE(outcome.failure.find(c.failure), std::string::npos) << outcome.failure;
        if (c.reportKept) {
            EXPECT_NE(outcome.failure.find("the report was kept in " + outcome.keptReport), std::string::npos)
                << outcome.failure;
            EXPECT_FALSE(lumivex::test::readFile(outcome.keptReport).empty());
        } else {
            EXPECT_EQ(outcome.keptReport, "");
        }
    }
    RecordProperty("largest_vmrss_kib", std::to_string(largestRss));
    expectStillServing();
}

TEST_F(HostileBackend, TheUiServicesRequestsAreBoundedInTimeAndSize) {
    // The UI's back-end calls go through the request layer with their own
    // time-out (2 s here); the answer is no value, never a cut body.
    constexpr std::uint32_t kTimeoutMs = 2000;
    const struct {
        const char* kind;
    } cases[] = {{"silent"}, {"drip"}, {"endless"}, {"huge"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        BackendProcess backend({"--misbehave", std::string("ui=") + c.kind}, dir);
        ASSERT_TRUE(backend.started());
        const auto start = std::chrono::steady_clock::now();
        auto answer = RequestService::getInstance()->performStringRequest(backend.base() + "/api/v1/news", "GET", "",
                                                                          std::nullopt, kTimeoutMs);
        EXPECT_FALSE(answer);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs) + kMargin);
        EXPECT_LT(vmRssKiB(), kMaxRssKiB);
    }
    expectStillServing();
}

TEST_F(HostileBackend, ASelfSignedCertificateIsRefusedUnlessTheCheckIsTurnedOff) {
    BackendProcess backend({}, dir);
    ASSERT_TRUE(backend.started());
    const Outcome refused = measure(backend.base(true), std::nullopt);
    EXPECT_EQ(refused.answer, nullptr);
    EXPECT_NE(refused.failure.find("registration failed"), std::string::npos) << refused.failure;
    EXPECT_NE(refused.failure.find("control document not received"), std::string::npos) << refused.failure;
    EXPECT_NE(refused.failure.find("certificate"), std::string::npos) << refused.failure;

    ScopedEnvironment insecure(lumivex::test::kInsecureBackendTls, "1");
    const Outcome accepted = measure(backend.base(true), std::nullopt);
    EXPECT_NE(accepted.answer, nullptr) << accepted.failure;
}

TEST_F(HostileBackend, ADrippingTlsBackEndIsCutAtTheDeadline) {
    ScopedEnvironment insecure(lumivex::test::kInsecureBackendTls, "1");
    BackendProcess backend({"--misbehave", "control=drip"}, dir);
    ASSERT_TRUE(backend.started());
    const Outcome outcome = measure(backend.base(true), "given-agent");
    EXPECT_EQ(outcome.answer, nullptr);
    EXPECT_LT(outcome.took, std::chrono::milliseconds(kControllerTimeoutMs) + kMargin);
    EXPECT_NE(outcome.failure.find("control document not received: Timeout"), std::string::npos) << outcome.failure;
}

TEST_F(HostileBackend, ASecondStartIsRefusedBeforeItFetchesAnything) {
    BackendProcess backend({"--misbehave", "control=drip", "--verbose"}, dir);
    ASSERT_TRUE(backend.started());
    auto first = std::async(std::launch::async, [&] { return measure(backend.base(), "given-agent"); });
    // The first start is fetching its document (dripped, so it takes the
    // controller's whole time-out) when the second arrives.
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(MeasurementExecutorService::isRunning());
    StartMeasurementParameters params;
    params.controllerUrl = backend.base();
    params.agentUuid = "given-agent";
    VelaService service;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.startMeasurement(params), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(service.lastFailure(), "a measurement is running already");
    ASSERT_EQ(first.wait_for(std::chrono::milliseconds(kControllerTimeoutMs) + kMargin), std::future_status::ready);
    first.get();
    expectStillServing();
}

TEST_F(HostileBackend, TheUiIsToldWhatFailedThroughTheMeasurementService) {
    BackendProcess backend({"--misbehave", "control=404"}, dir);
    ASSERT_TRUE(backend.started());
    StartMeasurementParameters params;
    params.controllerUrl = backend.base();
    params.agentUuid = "given-agent";
    VelaService service;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(service.startMeasurement(params), nullptr);
    // The controller's own time-out (10 s) bounds it; a 404 comes at once.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(service.lastFailure().find("control document not received: HTTP 404 Not Found: not found from " +
                                         backend.base() + "/api/v1/measurements"),
              std::string::npos)
        << service.lastFailure();
    EXPECT_NE(service.lastFailure().find("No lmap control dto loaded"), std::string::npos);
}

// The backend peer refuses every bad value with one line and a non-zero
// status, before it serves anything.
TEST_F(HostileBackend, ThePeerRefusesBadValuesInOneLine) {
    const std::string backend = LUMIVEX_BINARY_DIR "/tests/peers/backend/backend";
    const std::vector<std::vector<std::string>> bad = {
        {"--max-seconds", "-1"},
        {"--max-seconds", "0"},
        {"--max-seconds", "10x"},
        {"--max-seconds", "99999999999999999999"},
        {"--max-seconds", ""},
        {"--max-seconds"},
        {"--drip-seconds", "0"},
        {"--drip-seconds", " 1"},
        {"--huge-mib", "-5"},
        {"--huge-mib", "5000"},
        {"--misbehave", "control=melt"},
        {"--misbehave", "kitchen=500"},
        {"--misbehave", "control"},
        {"--collector-uuids", "only-one"},
        {"--collector-uuids", ",x"},
        {"--agent-uuid", ""},
        {"--dns-query", "example.org:MX"},
        {"--control-file", "/nonexistent/control.json"},
        {"--unknown"},
    };
    for (const auto& arguments : bad) {
        std::vector<std::string> argv{backend};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " '" + arguments[1] + "'" : std::string()));
        const std::string errors = dir.file("errors");
        Child child(argv, ChildOptions{{}, "", "", errors});
        const auto status = child.finish(10s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code != 0) << status->text();
        EXPECT_EQ(child.output(), "");  // no port line: nothing was served
        const std::string text = lumivex::test::readFile(errors);
        EXPECT_EQ(text.rfind("backend: ", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }

    Child help({backend, "--help"}, ChildOptions{});
    const auto status = help.finish(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 0) << status->text();
    EXPECT_NE(help.output().find("--drip-seconds"), std::string::npos);
}

// Undelivered reports live in a private folder of the user: made 0700 and
// files 0600 whatever the umask, and never reached through a symlink.
TEST_F(HostileBackend, UndeliveredReportsArePrivateAndNeverFollowASymlink) {
    using trevask::measurement_library::UndeliveredReports;
    const mode_t previousMask = ::umask(0);
    auto path = UndeliveredReports::keep("{\"report\":1}");
    ::umask(previousMask);
    ASSERT_TRUE(path);
    EXPECT_EQ(lumivex::test::readFile(*path), "{\"report\":1}");
    struct stat info {};
    ASSERT_EQ(::stat(path->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat((dir.path() + "/lumivex").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((dir.path() + "/lumivex/undelivered-reports").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    // A second report never replaces the first.
    auto second = UndeliveredReports::keep("{\"report\":2}");
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *path);
    EXPECT_EQ(lumivex::test::readFile(*path), "{\"report\":1}");

    // A folder planted as a symlink elsewhere is refused, and nothing is
    // written where it points.
    TempDir other("/tmp/lumivex-hostile-XXXXXX");
    TempDir elsewhere("/tmp/lumivex-hostile-XXXXXX");
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (other.path() + "/lumivex").c_str()), 0);
    ScopedEnvironment plantedHome("XDG_DATA_HOME", other.path());
    std::string error;
    EXPECT_FALSE(UndeliveredReports::keep("{}", &error));
    EXPECT_NE(error.find("not a private folder"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

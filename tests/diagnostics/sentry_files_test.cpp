// The crash reporter's files and sizes against hostile surroundings: a umask
// of 000, a symlinked or foreign folder, a link planted where the crash
// marker goes, huge span data, breadcrumbs and events.

#include "FreshFolder.h"
#include "platform/sentry/SentryClient.h"

#include <gtest/gtest.h>

#include <boost/json/object.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace sentry = lumivex::platform::sentry;
namespace json = boost::json;
using namespace std::chrono_literals;
using diagnostics_test::freshFolder;

namespace {

// Nothing listens there: envelopes are seen by the observer and then dropped.
constexpr const char* kDeadDsn = "http://k@127.0.0.1:1/1";

sentry::Options optionsAt(const std::filesystem::path& database) {
    sentry::Options options;
    options.dsn = kDeadDsn;
    options.databasePath = database;
    options.tracesSampleRate = 1.0;
    options.shutdownTimeout = 200ms;
    options.requestTimeout = 200ms;
    return options;
}

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

std::string contentOf(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Keeps every envelope the client hands to its transport.
struct Observed {
    Observed() {
        sentry::setEnvelopeObserver([this](const std::string& envelope) {
            std::lock_guard lock(mutex);
            envelopes.push_back(envelope);
        });
    }
    ~Observed() { sentry::setEnvelopeObserver(nullptr); }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return envelopes;
    }
    std::mutex mutex;
    std::vector<std::string> envelopes;
};

class SentryFiles : public ::testing::Test {
protected:
    void TearDown() override { sentry::close(); }
};

// Crashes a child that initialised the client at `database` (and ran
// `before` just before the signal).
void crashWith(const std::filesystem::path& database, void (*before)(const std::filesystem::path&) = nullptr) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            sentry::init(optionsAt(database));
            if (before) before(database);
            std::raise(SIGSEGV);
        },
        [](int status) { return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0); }, "");
}

}  // namespace

TEST_F(SentryFiles, FolderIsPrivateWhateverTheUmask) {
    const auto root = freshFolder("sentry", "umask");
    const mode_t saved = ::umask(0);
    {
        SCOPED_TRACE("configured folder and its missing parents");
        const auto database = root / "made" / "reports";
        ASSERT_TRUE(sentry::init(optionsAt(database)));
        EXPECT_EQ(sentry::databaseFolder(), database);
        EXPECT_EQ(modeOf(root / "made"), 0700u);
        EXPECT_EQ(modeOf(database), 0700u);
        sentry::close();
    }
    {
        SCOPED_TRACE("default folder under the state home");
        ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
        const sentry::Options options;
        ::unsetenv("XDG_STATE_HOME");
        EXPECT_EQ(options.databasePath, root / "state" / "lumivex" / "crash-reports");
        sentry::Options withDsn = options;
        withDsn.dsn = kDeadDsn;
        ASSERT_TRUE(sentry::init(withDsn));
        EXPECT_EQ(modeOf(root / "state" / "lumivex"), 0700u);
        EXPECT_EQ(modeOf(options.databasePath), 0700u);
        sentry::close();
    }
    {
        SCOPED_TRACE("a folder of ours that anyone could enter is closed to them");
        const auto open = root / "open";
        ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
        ASSERT_EQ(modeOf(open), 0777u);
        ASSERT_TRUE(sentry::init(optionsAt(open)));
        EXPECT_EQ(modeOf(open), 0700u);
        sentry::close();
    }
    ::umask(saved);

    // The marker a crash leaves is the user's alone, too.
    const auto database = root / "made" / "reports";
    crashWith(database, [](const std::filesystem::path&) { ::umask(0); });
    EXPECT_EQ(modeOf(database / "last_crash"), 0600u);
}

TEST_F(SentryFiles, SymlinkedOrForeignFolderIsRefused) {
    const auto root = freshFolder("sentry", "refused");
    const auto target = root / "target";
    std::filesystem::create_directories(target);
    ::chmod(target.c_str(), 0777);
    const auto link = root / "link";
    std::filesystem::create_directory_symlink(target, link);

    ASSERT_TRUE(sentry::init(optionsAt(link)));  // events are still sent
    EXPECT_TRUE(sentry::databaseFolder().empty());
    sentry::close();
    EXPECT_EQ(modeOf(target), 0777u);  // not touched through the link
    crashWith(link);
    EXPECT_FALSE(std::filesystem::exists(target / "last_crash"));

    if (::geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root to make";
    const auto foreign = root / "foreign";
    std::filesystem::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    ::chmod(foreign.c_str(), 0777);
    ASSERT_TRUE(sentry::init(optionsAt(foreign)));
    EXPECT_TRUE(sentry::databaseFolder().empty());
    sentry::close();
    EXPECT_EQ(modeOf(foreign), 0777u);
    crashWith(foreign);
    EXPECT_FALSE(std::filesystem::exists(foreign / "last_crash"));
}

// Another local user plants a link where the marker goes, pointing at a file
// the agent's user may write: neither reading nor writing the marker follows it.
TEST_F(SentryFiles, PlantedMarkerLinkIsNeverFollowed) {
    const auto root = freshFolder("sentry", "planted");
    const auto database = root / "reports";
    const auto victim = root / "victim";
    { std::ofstream(victim) << "secret\n"; }
    ::chmod(victim.c_str(), 0600);
    std::filesystem::create_directories(database);
    std::filesystem::create_symlink(victim, database / "last_crash");

    {
        SCOPED_TRACE("read at start: the link is removed, nothing is sent from it");
        Observed observed;
        ASSERT_TRUE(sentry::init(optionsAt(database)));
        sentry::close();
        EXPECT_TRUE(observed.all().empty());
        EXPECT_FALSE(std::filesystem::is_symlink(database / "last_crash"));
        EXPECT_EQ(contentOf(victim), "secret\n");
    }
    {
        SCOPED_TRACE("written at a crash: a fresh marker, the victim unchanged");
        crashWith(database, [](const std::filesystem::path& folder) {
            std::filesystem::create_symlink(folder.parent_path() / "victim", folder / "last_crash");
        });
        EXPECT_EQ(contentOf(victim), "secret\n");
        EXPECT_FALSE(std::filesystem::is_symlink(database / "last_crash"));
        EXPECT_EQ(contentOf(database / "last_crash").rfind("signal=11 time=", 0), 0u);
    }
}

TEST(SentryBounds, SpanDataAndEnvelopesStayBelowOneMebibyte) {
    const auto root = freshFolder("sentry", "bounds");
    Observed observed;
    ASSERT_TRUE(sentry::init(optionsAt(root)));
    const std::uint64_t droppedBefore = sentry::droppedEnvelopes();

    // A 50 MB answer in a span: cut to a few KiB with its full size.
    auto transaction = sentry::startTransaction("request", "http");
    auto span = sentry::startChild(transaction, "http.client", "POST /register");
    sentry::setSpanData(span, "response", json::value(std::string(50u * 1024 * 1024, 'x')));
    sentry::finishSpan(span);
    sentry::finishTransaction(transaction);

    // Many spans full of data: their data is shed.
    transaction = sentry::startTransaction("many", "http");
    for (int i = 0; i < 900; ++i) {
        span = sentry::startChild(transaction, "step", "s" + std::to_string(i));
        sentry::setSpanData(span, "body", json::value(std::string(3000, 'y')));
        sentry::finishSpan(span);
    }
    sentry::finishTransaction(transaction);

    // An event with 100 breadcrumbs of 20 KiB: the breadcrumbs go.
    for (int i = 0; i < 100; ++i)
        sentry::addBreadcrumb(json::object{{"message", std::string(20 * 1024, 'b')}, {"category", "log"}});
    auto event = sentry::newEvent();
    event["message"] = json::object{{"formatted", "kept"}};
    const std::string keptId = sentry::captureEvent(event);

    // An event that is too big by itself: dropped.
    auto huge = sentry::newEvent();
    huge["message"] = json::object{{"formatted", std::string(2u * 1024 * 1024, 'h')}};
    sentry::captureEvent(huge);

    const auto envelopes = observed.all();
    ASSERT_EQ(envelopes.size(), 3u);
    for (const auto& envelope : envelopes) EXPECT_LE(envelope.size(), sentry::kMaxEnvelopeBytes);
    EXPECT_NE(envelopes[0].find(" ... [cut, 52428800 bytes in full]"), std::string::npos);
    EXPECT_LT(envelopes[0].size(), 16u * 1024);
    EXPECT_NE(envelopes[1].find("\"s899\""), std::string::npos);  // the spans themselves stay
    EXPECT_NE(envelopes[2].find(keptId), std::string::npos);
    EXPECT_NE(envelopes[2].find("kept"), std::string::npos);
    EXPECT_EQ(sentry::droppedEnvelopes(), droppedBefore + 1);
    sentry::close();
}

TEST(SentryBounds, SpanTextIsCutWithItsFullSize) {
    EXPECT_EQ(sentry::boundedSpanText("short"), "short");
    const std::string exact(sentry::kMaxSpanTextBytes, 'a');
    EXPECT_EQ(sentry::boundedSpanText(exact), exact);
    // A cut never splits a UTF-8 sequence: "é" is two bytes.
    std::string accents;
    while (accents.size() < sentry::kMaxSpanTextBytes + 1) accents += "\xC3\xA9";
    const std::string cut = sentry::boundedSpanText(accents);
    EXPECT_EQ(cut, accents.substr(0, sentry::kMaxSpanTextBytes) + " ... [cut, " + std::to_string(accents.size()) +
                       " bytes in full]");
}

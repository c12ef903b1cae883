// What a new user meets first: --help on every executable, and a clear
// one-line error for an option it does not know.

#include "RunScript.h"

#include <gtest/gtest.h>

using namespace smoke_test;

namespace {

struct Program {
    std::string name;
    std::string path;  // below the build tree
};

const std::vector<Program> kPrograms{
    {"lumivex", "/runner/lumivex"},
    {"lumivex-cli", "/cli/lumivex-cli"},
    {"backend", "/tests/peers/backend/backend"},
    {"qos_server", "/tests/peers/qos_server/qos_server"},
    {"speed_server", "/tests/peers/speed_server/speed_server"},
};

struct Outcome {
    std::optional<ExitStatus> status;
    std::string out;
    std::string err;
};

// Runs the program with a private socket path, bounded to 10 s.
Outcome run(const TempDir& dir, const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child(argv, ChildOptions{{"LUMIVEX_UI_SOCKET=" + dir.file("ui.sock")}, "", "", dir.file("err"), true});
    Outcome o;
    o.status = child.finish(10s);
    o.out = child.output();
    o.err = readFile(dir.file("err"));
    return o;
}

std::size_t lines(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += c == '\n' ? 1 : 0;
    return n;
}

TEST(Help, EveryProgramExplainsItselfAndRefusesAnUnknownOptionInOneLine) {
    for (const auto& p : kPrograms) {
        SCOPED_TRACE(p.name);
        TempDir dir;
        const std::string program = binaryDir() + p.path;

        Outcome help = run(dir, program, {"--help"});
        ASSERT_TRUE(help.status) << "--help did not end";
        EXPECT_TRUE(help.status->exited && help.status->code == 0) << help.status->text() << help.err;
        EXPECT_NE(help.out.find("usage: "), std::string::npos) << help.out;
        EXPECT_EQ(help.err, "");

        Outcome bad = run(dir, program, {"--no-such-option"});
        ASSERT_TRUE(bad.status) << "an unknown option did not end the program";
        EXPECT_TRUE(bad.status->exited && bad.status->code != 0) << bad.status->text();
        EXPECT_EQ(lines(bad.err), 1u) << bad.err;
        EXPECT_NE(bad.err.find(p.name + ": "), std::string::npos) << bad.err;
        EXPECT_NE(bad.err.find("--no-such-option"), std::string::npos) << bad.err;
        EXPECT_NE(bad.err.find(p.name + " --help"), std::string::npos) << bad.err;
        EXPECT_EQ(bad.out, "");
        // Neither started an agent on the socket.
        EXPECT_FALSE(std::filesystem::exists(dir.file("ui.sock")));
    }
}

// Values the programs cannot use: a one-line error, never a crash (the
// measurement server used to abort on a number it could not read, the
// command-line UI on a --send whose JSON was broken).
TEST(Help, ABadValueIsAOneLineError) {
    const std::vector<std::pair<Program, std::vector<std::string>>> cases{
        {kPrograms[1], {"--timeout-ms", "soon"}},
        {kPrograms[1], {"--send", "at.trevask.lumivex/system", "requestWindowScale", "{broken"}},
        {kPrograms[1], {"--call", "at.trevask.lumivex/system", "requestWindowScale"}},
        {kPrograms[1], {"measure"}},
        {kPrograms[1], {"measure", "--controller", "example.org"}},
        {kPrograms[1], {"measure", "--controller", "http://127.0.0.1:9", "--max-seconds", "-1"}},
        {kPrograms[2], {"--max-seconds", "x"}},
        {kPrograms[2], {"--qos-server", "{\"control_port\":1}"}},
        {kPrograms[2], {"--dns-query", "name.test:MX"}},
        {kPrograms[3], {"--max-seconds", "x"}},
        {kPrograms[4], {"--threads", "x"}},
        {kPrograms[4], {"--chunk-size", "99999999999999999999"}},
    };
    for (const auto& [p, args] : cases) {
        SCOPED_TRACE(p.name + " " + testing::PrintToString(args));
        TempDir dir;
        Outcome bad = run(dir, binaryDir() + p.path, args);
        ASSERT_TRUE(bad.status) << "did not end";
        EXPECT_TRUE(bad.status->exited && bad.status->code != 0) << bad.status->text();
        EXPECT_EQ(lines(bad.err), 1u) << bad.err;
        EXPECT_EQ(bad.err.rfind(p.name + ": ", 0), 0u) << bad.err;
    }
}

TEST(Help, TheAgentsHelpSaysHowAUiReachesIt) {
    TempDir dir;
    Outcome help = run(dir, binaryDir() + "/runner/lumivex", {"--help"});
    ASSERT_TRUE(help.status);
    EXPECT_NE(help.out.find("LUMIVEX_UI_SOCKET"), std::string::npos) << help.out;
    // The path it would serve right now.
    EXPECT_NE(help.out.find(dir.file("ui.sock")), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("lumivex-cli"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("Calling init"), std::string::npos) << help.out;

    Outcome cli = run(dir, binaryDir() + "/cli/lumivex-cli", {"--help"});
    ASSERT_TRUE(cli.status);
    for (const char* word : {"measure", "--controller", "--agent-uuid", "--no-qos", "--no-speed", "--json"}) {
        EXPECT_NE(cli.out.find(word), std::string::npos) << word;
    }
}

}  // namespace

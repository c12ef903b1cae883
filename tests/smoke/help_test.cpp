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
    {"sentry_sink", "/tests/peers/sentry_sink/sentry_sink"},
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
        // A bad command line is status 2 (see the exit-status table).
        EXPECT_TRUE(bad.status->exited && bad.status->code == 2) << bad.status->text();
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
        {kPrograms[1], {"measure", "--controller", "http://127.0.0.1:9", "--qos-types", "TCP,BOGUS"}},
        {kPrograms[1], {"measure", "--controller", "http://127.0.0.1:9", "--qos-types", ","}},
        {kPrograms[2], {"--max-seconds", "-1"}},
        {kPrograms[3], {"--max-seconds", "x"}},
        {kPrograms[3], {"--tcp-ports", "-1"}},
        {kPrograms[4], {"--threads", "x"}},
        {kPrograms[4], {"--threads", "0"}},
        {kPrograms[4], {"--bind", "999.1.1.1"}},
        {kPrograms[4], {"--chunk-size", "99999999999999999999"}},
        {kPrograms[5], {"--status", "abc"}},
        {kPrograms[5], {"--delay-ms", "-5"}},
    };
    for (const auto& [p, args] : cases) {
        SCOPED_TRACE(p.name + " " + testing::PrintToString(args));
        TempDir dir;
        Outcome bad = run(dir, binaryDir() + p.path, args);
        ASSERT_TRUE(bad.status) << "did not end";
        EXPECT_TRUE(bad.status->exited && bad.status->code == 2) << bad.status->text();
        EXPECT_EQ(lines(bad.err), 1u) << bad.err;
        EXPECT_EQ(bad.err.rfind(p.name + ": ", 0), 0u) << bad.err;
        EXPECT_EQ(bad.out, "");
    }
}

// An unknown QoS type is refused with the valid ones before anything
// starts: at once, with no agent asked.
TEST(Help, AnUnknownQosTypeIsRefusedWithTheValidOnesAtOnce) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{binaryDir() + "/cli/lumivex-cli", "measure", "--controller", "http://127.0.0.1:9",
                                   "--qos-types", "tcp,Bogus"},
          std::vector<std::string>{"/bin/bash", sourceDir() + "/scripts/run", "--no-build", "--build-dir", binaryDir(),
                                   "--qos-types", "tcp,Bogus"}}) {
        SCOPED_TRACE(argv[1]);
        TempDir dir;
        const auto started = std::chrono::steady_clock::now();
        Child child(argv, ChildOptions{{"LUMIVEX_UI_SOCKET=" + dir.file("ui.sock")}, "", "", dir.file("err"), true});
        auto status = child.finish(10s);
        const auto took = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 2) << status->text();
        EXPECT_LT(took, 1s);
        const std::string err = readFile(dir.file("err"));
        EXPECT_EQ(lines(err), 1u) << err;
        EXPECT_NE(err.find("unknown QoS type \"Bogus\" (valid: TCP,UDP,NON_TRANSPARENT_PROXY,SIP,VOIP,DNS,TRACEROUTE,"
                           "HTTP_PROXY)"),
                  std::string::npos)
            << err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("ui.sock")));
    }
}

// --version on the agent, its command-line UI and scripts/run: the source
// revision, and the versions the agent states to its back end and servers.
TEST(Help, VersionOnAllThree) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{binaryDir() + "/runner/lumivex", "--version"},
          std::vector<std::string>{binaryDir() + "/cli/lumivex-cli", "--version"},
          std::vector<std::string>{"/bin/bash", sourceDir() + "/scripts/run", "--version", "--build-dir", binaryDir()}}) {
        SCOPED_TRACE(argv.back());
        TempDir dir;
        Child child(argv, ChildOptions{{"LUMIVEX_UI_SOCKET=" + dir.file("ui.sock")}, "", "", dir.file("err"), true});
        auto status = child.finish(10s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code == 0) << status->text();
        for (const char* fact : {"source revision ", "capability version 1.0.0", "API v1", "speed-test protocol 0.1.0"}) {
            EXPECT_NE(child.output().find(fact), std::string::npos) << fact << "\n" << child.output();
        }
        EXPECT_EQ(readFile(dir.file("err")), "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("ui.sock")));
    }
}

// The exit-status table is in each --help, the same text.
TEST(Help, EachHelpHoldsTheOneExitStatusTable) {
    std::string table;
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{binaryDir() + "/runner/lumivex", "--help"},
          std::vector<std::string>{binaryDir() + "/cli/lumivex-cli", "--help"},
          std::vector<std::string>{"/bin/bash", sourceDir() + "/scripts/run", "--help"}}) {
        SCOPED_TRACE(argv.back());
        TempDir dir;
        Child child(argv, ChildOptions{{"LUMIVEX_UI_SOCKET=" + dir.file("ui.sock")}, "", "", dir.file("err"), true});
        ASSERT_TRUE(child.finish(10s));
        const auto at = child.output().find("exit status (the same for lumivex, lumivex-cli and scripts/run):");
        ASSERT_NE(at, std::string::npos) << child.output();
        const auto end = child.output().find("\n\n", at);
        const std::string here = child.output().substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (const char* row : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  130 "}) {
            EXPECT_NE(here.find(row), std::string::npos) << row;
        }
        if (table.empty()) table = here;
        EXPECT_EQ(here, table);
    }
    // And in the README, row by row (there in a code block).
    const std::string readme = readFile(sourceDir() + "/README.md");
    std::istringstream rows(table.substr(table.find('\n') + 1));
    for (std::string row; std::getline(rows, row);) {
        EXPECT_NE(readme.find("    " + row + "\n"), std::string::npos) << row;
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

// Corpus replay: every kept input of every fuzz target, fed to the target
// built with the normal compiler, as ordinary tests. Seeds live in
// corpus/<target>/, inputs that once failed in regressions/<target>/;
// inputs under pending/ wait for a fix and are not replayed.

#include "FuzzTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace lumivex_fuzz {

namespace {

std::map<std::string, TargetFunction>& registry() {
    static std::map<std::string, TargetFunction> targets;
    return targets;
}

const fs::path kFuzzDir = fs::path(LUMIVEX_SOURCE_DIR) / "tests" / "fuzz";

// The replay's bound on one input: far above what any parser here needs for
// the largest kept input even in a sanitizer build on a loaded machine, and
// the same as the fuzz runs' -timeout, so an input that makes a parser
// super-linear fails here instead of running for minutes.
constexpr std::chrono::seconds kInputBudget{10};

std::vector<fs::path> inputsOf(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = kFuzzDir / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> targetNames() {
    std::vector<std::string> names;
    for (const auto& [name, function] : registry()) names.push_back(name);
    return names;
}

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, EveryKeptInputPasses) {
    const std::string& target = GetParam();
    const TargetFunction function = registry().at(target);
    const std::vector<fs::path> inputs = inputsOf(target);
    ASSERT_FALSE(inputs.empty()) << "no seeds for " << target << " under " << (kFuzzDir / "corpus" / target);
    for (const fs::path& path : inputs) {
        const std::vector<std::uint8_t> bytes = readFile(path);
        const auto begin = std::chrono::steady_clock::now();
        try {
            function(bytes.data(), bytes.size());
        } catch (const std::exception& e) {
            ADD_FAILURE() << fs::relative(path, kFuzzDir) << ": " << e.what();
        } catch (...) {
            ADD_FAILURE() << fs::relative(path, kFuzzDir) << ": non-standard exception";
        }
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_LT(took, kInputBudget) << fs::relative(path, kFuzzDir) << " took "
                                      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(targetNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A folder of kept inputs whose target was renamed or dropped would silently
// stop being replayed.
TEST(FuzzCorpus, EveryFolderBelongsToATarget) {
    for (const char* kind : {"corpus", "regressions", "pending"}) {
        const fs::path dir = kFuzzDir / kind;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_directory()) continue;
            EXPECT_TRUE(registry().count(entry.path().filename().string()))
                << fs::relative(entry.path(), kFuzzDir) << " names no fuzz target";
        }
    }
}

}  // namespace

TargetRegistration::TargetRegistration(const char* name, TargetFunction function) {
    registry().emplace(name, function);
}

}  // namespace lumivex_fuzz

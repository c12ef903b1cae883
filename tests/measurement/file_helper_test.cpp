// Agent-identity files and board-id credentials.

#include "helper/BasicAuthProvider.h"
#include "helper/FileHelper.h"
#include "helper/ProbeHelper.h"

#include <Poco/Net/HTTPBasicCredentials.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace trevask::measurement_library;

namespace {

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("lumivex_files_" + std::to_string(::getpid()) + "_" +
                                             std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

std::string sha512Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha512(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace

TEST(FileHelper, WritesAndReadsBackExactly) {
    TempDir dir;
    const std::string file = (dir.path() / "agent_uuid").string();
    ASSERT_TRUE(FileHelper::writeToFile(file, "4c1e7d0a-uuid"));
    EXPECT_EQ(FileHelper::readFile(file), "4c1e7d0a-uuid");  // no line end added
    ASSERT_TRUE(FileHelper::writeToFile(file, "x"));          // truncates
    EXPECT_EQ(FileHelper::readFile(file), "x");
}

TEST(FileHelper, MissingFileAndDirectoryReadAsEmptyText) {
    TempDir dir;
    const std::string missing = (dir.path() / "nothing-here").string();
    testing::internal::CaptureStderr();
    EXPECT_EQ(FileHelper::readFile(missing), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "File: '" + missing + "' not found\n");
    EXPECT_FALSE(FileHelper::openInputFile(missing).is_open());
    EXPECT_EQ(FileHelper::readFile(dir.path().string()), "");
}

TEST(FileHelper, WriteIntoMissingFolderFailsAndCreatesNothing) {
    TempDir dir;
    const fs::path target = dir.path() / "no-such-folder" / "file";
    EXPECT_FALSE(FileHelper::writeToFile(target.string(), "uuid"));
    EXPECT_FALSE(fs::exists(target.parent_path()));
}

TEST(BoardIdBasicAuthProvider, UserIsBoardIdAndPasswordItsSha512) {
    BoardIdBasicAuthProvider provider;
    const auto credentials = provider.getCredentials();
    ASSERT_NE(credentials, nullptr);
    const std::string boardId = ProbeHelper::getBoardId();
    EXPECT_EQ(credentials->getUsername(), boardId);
    EXPECT_EQ(credentials->getPassword(), sha512Hex(boardId));
    EXPECT_EQ(credentials->getPassword().size(), 128u);
}

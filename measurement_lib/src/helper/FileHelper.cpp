#include "helper/FileHelper.h"

#include "helper/SentryHelper.h"

#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

namespace trevask::measurement_library {

namespace fs = std::filesystem;

std::ifstream FileHelper::openInputFile(const std::string& path) {
    std::error_code error;
    const fs::path current = fs::current_path(error);
    if (error) throw fs::filesystem_error("current_path()", error);
    const fs::path joined = current / path;
    const fs::file_status status = fs::status(joined, error);
    if (status.type() == fs::file_type::not_found) {
        std::cerr << "File: '" << path << "' not found" << std::endl;
        return std::ifstream();
    }
    if (error) throw fs::filesystem_error("exists", joined, error);
    return std::ifstream(path);
}

std::string FileHelper::readFile(const std::string& path) {
    std::ifstream in = openInputFile(path);
    if (!in.is_open()) return std::string();
    // A directory opens as a stream but fails on the first read; the copy
    // then stops and the text stays empty.
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileHelper::writeToFile(const std::string& path, const std::string& content) {
    try {
        const fs::path target = fs::current_path() / path;
        std::ofstream out(target, std::ios::out | std::ios::trunc);
        if (!out.is_open()) return false;
        out << content;
        out.close();
        // A failed open or write is a failure: the caller must not believe
        // the UUID was stored.
        return !out.fail();
    } catch (const std::exception& e) {
        SentryHelper::captureException(e, "");
        std::cerr << e.what() << std::endl;
        return false;
    }
}

}  // namespace trevask::measurement_library

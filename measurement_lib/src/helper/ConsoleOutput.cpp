#include "helper/ConsoleOutput.h"

#include <iostream>
#include <mutex>
#include <string>

namespace trevask::measurement_library {

namespace {

// Shared by every whole-line writer; trivially destructible, so lines can
// still be written while the process tears down its statics.
std::mutex& lineMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void writeLine(std::ostream& out, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::lock_guard lock(lineMutex());
    // One write per line: the standard streams hand it to the C library in
    // one call, so even writers that bypass this lock cannot split it.
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

void printLine(std::string_view text) { writeLine(std::cout, text); }

void printErrorLine(std::string_view text) { writeLine(std::cerr, text); }

}  // namespace trevask::measurement_library

#pragma once
// The standard decimal conversions that tasks apply to the texts of their
// configurations (ports, counts, time-outs). They read like std::stoi,
// std::stoll and std::stoul (leading white space skipped, characters after
// the number ignored) and fail with the texts that results and logs carry:
// "invalid stoi argument" / "stoi argument out of range" and the same for
// stoll and stoul.

#include <string>

namespace trevask::measurement_library {

int parseStoi(const std::string& text);
long long parseStoll(const std::string& text);
unsigned long parseStoul(const std::string& text);

}  // namespace trevask::measurement_library

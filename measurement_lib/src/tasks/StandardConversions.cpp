#include "tasks/StandardConversions.h"

#include <stdexcept>

namespace trevask::measurement_library {

namespace {

template <typename Convert>
auto convert(const std::string& text, const char* name, Convert convertText) {
    try {
        return convertText(text);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(std::string("invalid ") + name + " argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range(std::string(name) + " argument out of range");
    }
}

}  // namespace

int parseStoi(const std::string& text) {
    return convert(text, "stoi", [](const std::string& t) { return std::stoi(t); });
}

long long parseStoll(const std::string& text) {
    return convert(text, "stoll", [](const std::string& t) { return std::stoll(t); });
}

unsigned long parseStoul(const std::string& text) {
    return convert(text, "stoul", [](const std::string& t) { return std::stoul(t); });
}

}  // namespace trevask::measurement_library

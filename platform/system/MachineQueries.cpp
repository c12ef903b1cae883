#include "platform/system/MachineQueries.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <sys/utsname.h>

#include <fstream>

namespace lumivex::platform {

namespace json = boost::json;

namespace {

bool isRealRoot(const std::filesystem::path& root) {
    std::error_code ec;
    return std::filesystem::equivalent(root, "/", ec);
}

std::string trim(std::string text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

json::value optionalText(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    return json::value(trim(*text));
}

std::optional<std::string> kernelValue(const std::filesystem::path& root, const char* file, bool machine) {
    if (auto line = readFirstLine(root / "proc/sys/kernel" / file)) return line;
    if (isRealRoot(root)) {
        utsname names{};
        if (::uname(&names) == 0) return std::string(machine ? names.machine : names.release);
    }
    return std::nullopt;
}

std::string operatingSystem(const std::filesystem::path& root) {
    std::filesystem::path osRelease = root / "etc/os-release";
    std::error_code ec;
    if (!std::filesystem::exists(osRelease, ec)) osRelease = root / "usr/lib/os-release";
    std::optional<std::string> caption = osReleaseValue(osRelease, "PRETTY_NAME");
    if (!caption) caption = osReleaseValue(osRelease, "NAME");
    auto version = kernelValue(root, "osrelease", false);
    auto architecture = kernelValue(root, "arch", true);
    if (!caption && !version && !architecture) return {};
    return json::serialize(json::object{{"Caption", optionalText(caption)},
                                        {"Version", optionalText(version)},
                                        {"OSArchitecture", optionalText(architecture)}});
}

std::string dmiQuery(const std::filesystem::path& root, std::initializer_list<std::pair<const char*, const char*>> keys) {
    std::filesystem::path dmi = root / "sys/class/dmi/id";
    std::error_code ec;
    if (!std::filesystem::is_directory(dmi, ec)) return {};
    json::object out;
    for (const auto& [key, file] : keys) out[key] = optionalText(readFirstLine(dmi / file));
    return json::serialize(out);
}

}  // namespace

std::optional<std::string> readFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string line;
    std::getline(in, line);
    if (in.bad()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> osReleaseValue(const std::filesystem::path& file, std::string_view key) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != '=') continue;
        std::string value = line.substr(key.size() + 1);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            char quote = value.front();
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < value.size(); ++i) {
                if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
                unquoted.push_back(value[i]);
            }
            value = std::move(unquoted);
        }
        return value;
    }
    return std::nullopt;
}

std::string queryCimInstance(std::string_view className, const std::filesystem::path& root) {
    if (className == "Win32_OperatingSystem") return operatingSystem(root);
    if (className == "Win32_ComputerSystem") return dmiQuery(root, {{"Model", "product_name"}, {"Manufacturer", "sys_vendor"}});
    if (className == "Win32_ComputerSystemProduct") return dmiQuery(root, {{"UUID", "product_uuid"}});
    return {};
}

}  // namespace lumivex::platform

#pragma once
// Stand-in for the CIM queries of the operating system, the computer system
// and the computer-system product. Each answers with the JSON text that the
// query's ConvertTo-Json would print: one object holding the asked-for
// properties, a property whose source is missing written as null. When the
// source of a whole query is missing the answer is the empty text, as a
// failed query prints nothing.
//
// Sources below `root` (a fixture tree in tests, "/" otherwise):
//   Win32_OperatingSystem       Caption        etc/os-release PRETTY_NAME (else NAME), usr/lib/os-release as fall-back
//                               Version        proc/sys/kernel/osrelease (the kernel release, as uname -r)
//                               OSArchitecture proc/sys/kernel/arch (the machine, as uname -m)
//   Win32_ComputerSystem        Model          sys/class/dmi/id/product_name
//                               Manufacturer   sys/class/dmi/id/sys_vendor
//   Win32_ComputerSystemProduct UUID           sys/class/dmi/id/product_uuid

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lumivex::platform {

std::string queryCimInstance(std::string_view className, const std::filesystem::path& root = "/");

// First line of a text file without its line end; no value when unreadable.
std::optional<std::string> readFirstLine(const std::filesystem::path& path);

// Value of KEY=VALUE in an os-release file (quotes and escapes removed).
std::optional<std::string> osReleaseValue(const std::filesystem::path& file, std::string_view key);

}  // namespace lumivex::platform

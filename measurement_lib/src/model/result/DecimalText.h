#pragma once
// Lenient base-10 readers for the decimal texts kept in the speed-test
// result: optional leading white space, an optional sign, then digits;
// anything after the digits is ignored ("12 ms" reads 12). No leading digits
// or a value outside the target type gives no value.

#include <cstdint>
#include <optional>
#include <string_view>

namespace trevask::measurement_library {

std::optional<std::int64_t> decimalToInt64(std::string_view text);
std::optional<std::int32_t> decimalToInt32(std::string_view text);
// A negative value (other than -0) is outside the range.
std::optional<std::uint64_t> decimalToUInt64(std::string_view text);

}  // namespace trevask::measurement_library

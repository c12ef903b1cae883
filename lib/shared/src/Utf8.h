#pragma once
// Strict UTF-8 checks (no overlong forms, no surrogates, nothing above
// U+10FFFF) for texts that cross the calling interface or go into JSON.

#include <cstddef>
#include <string_view>

namespace vela_client {

// Length of the well-formed sequence starting at text[pos], or 0 when the
// bytes there do not start one.
std::size_t utf8_sequence_length(std::string_view text, std::size_t pos);
bool is_valid_utf8(std::string_view text);

}  // namespace vela_client

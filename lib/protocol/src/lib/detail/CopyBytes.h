#pragma once

// memcpy for byte ranges that may be empty: an empty span or vector may hand
// out a null pointer, which memcpy must never be given, even for 0 bytes.

#include <cstddef>
#include <cstring>

namespace vela_client::detail {

inline void copy_bytes(void* to, const void* from, std::size_t count)
{
    if (count > 0)
        std::memcpy(to, from, count);
}

} // namespace vela_client::detail

#pragma once

// The block of random bytes from which every connection of a measurement cuts
// its uplink chunks and ping payloads. Created empty once per measurement,
// filled once by the first measurement initialisation that finds it empty;
// read under the shared side of its lock.

#include "lib/AsyncLock.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vela_client {

struct SharedRandomBuffer {
    // Largest size of the filled buffer: 32 MiB.
    static constexpr std::uint64_t kMaxSize = 33'554'432;

    AsyncRwLock lock;
    std::vector<std::uint8_t> bytes;
    // The uplink chunks of one pass through `bytes` as they go on the wire:
    // each payload of image_chunk_size - 1 bytes followed by a not-last
    // marker (0x00). A run of chunks is then one contiguous piece to write,
    // its payloads aligned as the stream lays them out. Empty when unused.
    std::vector<std::uint8_t> chunk_image;
    std::uint32_t image_chunk_size = 0;
};

// Lays out `buffer.chunk_image` for chunks of `chunk_size` bytes.
void build_chunk_image(SharedRandomBuffer& buffer, std::uint32_t chunk_size);

using SharedRandomBufferRef = std::shared_ptr<SharedRandomBuffer>;

inline SharedRandomBufferRef make_shared_random_buffer() { return std::make_shared<SharedRandomBuffer>(); }

// Appends `count` bytes of a fast, non-cryptographic per-thread generator.
void append_random_bytes(std::vector<std::uint8_t>& out, std::size_t count);

} // namespace vela_client

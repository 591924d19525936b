// SPDX-License-Identifier: GPL-3.0-or-later
// Splits a fuzz input into direction-tagged chunks, as the stream fuzz targets read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/stream/StreamDirection.h"

namespace tarnwick::fuzz {

// Records of one byte (its low bit: the direction, 0 = from the client), a 2-byte little-endian length
// and that many bytes (cut at the input's end). Each chunk is its own copy, so a read past it is caught.
struct Chunk {
    StreamDirection direction;
    std::vector<uint8_t> bytes;
};

inline std::vector<Chunk> SplitChunks(std::span<const uint8_t> input) {
    std::vector<Chunk> chunks;
    size_t offset = 0;
    while (offset + 3 <= input.size()) {
        const auto direction = (input[offset] & 1) ? StreamDirection::ServerToClient : StreamDirection::ClientToServer;
        size_t length = static_cast<size_t>(input[offset + 1]) | static_cast<size_t>(input[offset + 2]) << 8;
        offset += 3;
        if (length > input.size() - offset) length = input.size() - offset;
        chunks.push_back({direction, std::vector<uint8_t>(input.begin() + static_cast<ptrdiff_t>(offset),
                                                          input.begin() + static_cast<ptrdiff_t>(offset + length))});
        offset += length;
    }
    return chunks;
}

}  // namespace tarnwick::fuzz

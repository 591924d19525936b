// SPDX-License-Identifier: GPL-3.0-or-later
// Where an MP4 file keeps its index (the moov box), told from the file's first bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

class Mp4IndexLocator {
public:
    enum class Place : uint8_t {
        NotMp4,   // the bytes do not begin with an ftyp box
        InFront,  // the index begins within the first bytes and ends at indexEnd
        After,    // no index within the first bytes: it lies somewhere from afterOffset to the file's end
        Unknown,  // the boxes run to the file's end without an index, or cannot be followed
    };
    struct Result {
        Place place = Place::NotMp4;
        int64_t indexEnd = 0;     // InFront: the offset just past the index
        int64_t afterOffset = 0;  // After: where the first box beyond the first bytes begins
    };

    // Follows the top-level boxes through the first bytes of a file of fileSize bytes (nothing: unknown).
    static Result Locate(std::string_view firstBytes, std::optional<int64_t> fileSize);
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: an MP4 file's first bytes, followed box by box to find its index.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/Mp4IndexLocator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The file is as long as its first bytes, or far longer.
    for (const int64_t fileSize : {static_cast<int64_t>(size), static_cast<int64_t>(size) * 1000 + 7}) {
        const auto result = tarnwick::Mp4IndexLocator::Locate(bytes, fileSize);
        using Place = tarnwick::Mp4IndexLocator::Place;
        // An index in front ends beyond its start; what lies after the first bytes lies inside the file.
        if (result.place == Place::InFront && result.indexEnd <= 8) std::abort();
        if (result.place == Place::After && (result.afterOffset <= 0 || result.afterOffset >= fileSize)) std::abort();
    }
    tarnwick::Mp4IndexLocator::Locate(bytes, std::nullopt);
    return 0;
}

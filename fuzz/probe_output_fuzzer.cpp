// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: what ffprobe writes about a stranger's media file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/MediaDetailsProbe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarnwick::MediaDetails details;
    tarnwick::MediaDetailsProbe::ParseProbeOutput(std::string_view(reinterpret_cast<const char*>(data), size), details);
    // A size is whole or absent; a duration is positive.
    if ((details.width > 0) != (details.height > 0) || details.width > 65535) std::abort();
    if (details.durationUs && *details.durationUs <= 0) std::abort();
    return 0;
}

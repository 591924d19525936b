// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: a Content-Range header value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/judge/ContentRange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    if (const auto range = tarnwick::ContentRange::Parse(value)) {
        // What it accepts always describes a piece inside its whole.
        if (range->first < 0 || range->last < range->first || range->WholeSize() <= range->last) std::abort();
    }
    return 0;
}

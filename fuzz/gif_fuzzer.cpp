// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the GIF block walk: it must stay inside them and agree with itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "controls/GifBlockWalker.h"

using tarnwick::GifBlockWalker;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    GifBlockWalker walker({data, size});
    const int count = walker.CountFrames();
    const auto frames = walker.ExtractFrames();
    // Counting and cutting out follow the same structure, so they must find the same frames.
    if (frames.size() != static_cast<size_t>(count)) std::abort();
    const size_t header = 13 + walker.GlobalColourTableSize();
    for (const auto& frame : frames) {
        if (frame.gif.size() < header + 2 || frame.gif.size() > size + 1) std::abort();
        if (std::memcmp(frame.gif.data(), data, header) != 0 || frame.gif.back() != 0x3B) std::abort();
        if (frame.disposal > 7) std::abort();
    }
    return 0;
}

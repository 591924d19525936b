// SPDX-License-Identifier: GPL-3.0-or-later
// One frame of an animated GIF, cut out as a stand-alone GIF, with its place and timing.
#pragma once

#include <cstdint>
#include <vector>

namespace tarnwick {

// Delay of a frame that has no graphic control extension.
inline constexpr uint32_t kNoFrameDelay = 0xFFFFFFFFu;

struct GifFrame {
    std::vector<uint8_t> gif;  // header, screen descriptor, global table, the frame's blocks, trailer
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    uint32_t delay = kNoFrameDelay;  // hundredths of a second
    uint32_t disposal = 0;           // 0 to 7
};

// How long the animation holds a frame. Very short delays are what browsers treat as "as fast as
// possible", which would spin; a frame without a delay would otherwise hold the animation for ever.
inline uint32_t FrameWaitMilliseconds(uint32_t delay) {
    if (delay == kNoFrameDelay || delay < 5) return 100;
    return delay * 10;
}

}  // namespace tarnwick

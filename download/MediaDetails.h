// SPDX-License-Identifier: GPL-3.0-or-later
// What is known of one video's media: its length, its size in pixels, its codecs and one picture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

struct MediaDetails {
    std::optional<int64_t> durationUs;  // nothing for a live stream or a file that does not say
    int width = 0;                      // 0: no video stream was read
    int height = 0;
    std::string videoCodec;  // ffprobe's names: "h264", "vp9", "aac"...
    std::string audioCodec;
    std::string picture;  // a JPEG of width x height; empty when none could be made
    // Why something is missing: the media could not be fetched or read, or no picture could be made.
    std::string problem;

    bool Read() const { return durationUs.has_value() || width > 0 || !audioCodec.empty(); }
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The durations that ffprobe reads from a saved copy, stream by stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class MediaDurationProbe {
public:
    // ffprobe beside the ffmpeg in use: "/opt/ff/bin/ffmpeg" -> "/opt/ff/bin/ffprobe", "ffmpeg" -> "ffprobe".
    static std::string ProbePathFor(const std::string& ffmpegPath);
    // Each stream's duration in microseconds (streams without one are left out); nothing when ffprobe could
    // not be run, did not end within timeoutMs, or named no duration. Started without a shell.
    static std::optional<std::vector<int64_t>> StreamDurationsUs(const std::string& ffprobePath,
                                                                 const std::string& file, uint32_t timeoutMs);
    // "4.017052" -> 4017052; nothing for "N/A" or anything but digits with one optional point.
    static std::optional<int64_t> ParseSeconds(std::string_view text);
};

}  // namespace tarnwick

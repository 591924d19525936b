// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a media file's details with ffprobe and its picture with ffmpeg, each a limited child process.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "download/LimitedChildProcess.h"
#include "download/MediaDetails.h"

namespace tarnwick {

// The file holds bytes of a stranger's choosing: the decoders read only it (no other file, no network), and
// only as one of the containers videos come in, so a playlist or a concat script in its place opens nothing.
class MediaDetailsProbe {
public:
    struct Tools {
        std::string ffprobe = "ffprobe";
        std::string ffmpeg = "ffmpeg";
    };
    static constexpr size_t kMaxPictureBytes = 8u << 20;
    static LimitedChildProcess::Limits ProbeLimits();
    static LimitedChildProcess::Limits PictureLimits();

    // input: the file, open for reading; the decoders get it as a descriptor, never by its name. whole: it
    // holds the whole video, so its picture is taken a tenth of the way in; else its first picture is.
    static MediaDetails Read(const Tools& tools, int input, bool whole, const std::atomic<bool>* stop);

    static std::vector<std::string> ProbeArguments(const std::string& ffprobe);
    static std::vector<std::string> PictureArguments(const std::string& ffmpeg, int64_t atUs);

    // ffprobe's "default" output: the first video stream's codec and size, the first audio stream's codec,
    // the container's duration. False when it names no stream.
    static bool ParseProbeOutput(std::string_view text, MediaDetails& details);
};

}  // namespace tarnwick

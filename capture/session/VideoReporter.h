// SPDX-License-Identifier: GPL-3.0-or-later
// The last step of every detection: the URL's bound, the source's name, the sink.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "capture/judge/DetectedVideo.h"

namespace tarnwick {

class VideoReporter {
public:
    // Hands a detection on; false when nobody receives detections.
    using Deliver = std::function<bool(DetectedVideo)>;

    // Host and path longer than this together are not reported (the URL buffer holds 4096 bytes
    // including its terminator); a cut URL would name a different video.
    static constexpr size_t kMaxUrlLength = 4095;

    VideoReporter(Deliver deliver, std::string sourceName);

    // host + path, each without blanks at either end (a text made only of blanks stays as it is);
    // empty when the path is empty. room: bytes the caller will append, reserved with it.
    static std::string JoinUrl(std::string_view host, std::string_view path, size_t room = 0);

    // Nothing is delivered for an empty or over-long url, or when nobody receives detections; the
    // source name is filled in here. True when it was delivered.
    bool Report(DetectedVideo video);

    const std::string& SourceName() const { return sourceName_; }

private:
    Deliver deliver_;
    std::string sourceName_;
};

}  // namespace tarnwick

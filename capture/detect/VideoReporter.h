// The last step of every detection: the URL, the ignore list, the callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "capture/detect/DetectedVideo.h"
#include "capture/detect/IgnoreList.h"

namespace tarnwick {

// Shared by the per-packet detector and the readers of reassembled connections of one capture thread.
class VideoReporter {
public:
    using Deliver = std::function<void(DetectedVideo)>;

    // Host and path longer than this together are not reported (the URL buffer holds 4096 bytes
    // including its terminator); a cut URL would name a different video.
    static constexpr size_t kMaxUrlLength = 4095;

    VideoReporter(IgnoreList& ignored, Deliver deliver, std::string sourceName);

    // host + path, each without blanks at either end (a text made only of blanks stays as it is);
    // empty when the path is empty.
    static std::string JoinUrl(std::string_view host, std::string_view path);

    // url is host and path without a scheme. A URL of another scheme than "http" is compared with the
    // ignore list in its full form, as the window registers it. Nothing is delivered for an empty or
    // over-long url, an ignored one, or when nobody receives detections. True when it was delivered.
    bool Report(std::string url, const std::string& requestText, const std::string& sizeText,
                const std::string& typeText, int64_t seenAtSeconds, std::string_view scheme = "http");
    // Takes url off the ignore list when it is there (the program's own fetch of something that is not
    // reported as a video itself, such as a playlist); true when it was.
    bool ConsumeIgnored(const std::string& url) { return ignored_.ConsumeIfPresent(url); }
    // The same for a detection with all its facts (a piece's extent, a stream's figures); the source
    // name is filled in here.
    bool Report(DetectedVideo video);

    const std::string& SourceName() const { return sourceName_; }

private:
    IgnoreList& ignored_;
    Deliver deliver_;
    std::string sourceName_;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// One accepted video as the sniffer window lists it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/MediaDetails.h"

namespace tarnwick {

struct SniffedVideo {
    int serial = 0;
    std::string timeSniffed;  // "03:07:45 PM"
    std::string url;          // "http://" or "https://" + host and path
    std::string requestText;  // the captured request, handed to the replaying download
    int64_t size = 0;         // bytes; 64-bit so videos of 2 GiB and more keep their size
    std::string type;         // cleaned content type, used as the file extension
    bool isYouTube = false;
    int rowImage = 0;        // 0 listed, 1 downloading, 2 downloaded
    std::string adapter;     // adapter or capture file that saw it
    bool isStream = false;   // an HLS or DASH stream: url names its playlist, size sums its segments
    int64_t segments = 0;    // a stream's segments counted so far
    int64_t lastSeenMs = 0;  // capture time of the detection that last set its figures, in milliseconds
    std::shared_ptr<const MediaDetails> details;  // its picture, length and size in pixels, once read
};

// Videos of the video-sharing site are fetched by replaying their captured request, which speaks plain
// HTTP; one caught over HTTPS goes through the normal transfer (with its certificate checked) and keeps
// its captured request in the entry.
inline bool ReplaysCapturedRequest(const SniffedVideo& video) {
    return video.isYouTube && video.url.rfind("https://", 0) != 0;
}

}  // namespace tarnwick

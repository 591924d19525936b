// SPDX-License-Identifier: GPL-3.0-or-later
// One video response recognised in captured traffic, as handed to the detection callback.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// What a detection says about the size of the video it names.
enum class VideoExtent : uint8_t {
    Whole,           // the answer holds the whole video: its size is contentLength
    Piece,           // one piece (206 with Content-Range) of a video of totalSize bytes
    PieceOfUnknown,  // one piece of a video whose total was not given: totalSize is as far as the piece reaches
    Stream,          // an HLS or DASH stream keyed by its playlist: totalSize is the sum of its segments so far
};

struct DetectedVideo {
    std::string url;              // host and path, no scheme
    std::string requestText;      // the request packet's payload through its blank line; may be empty
    std::string contentLength;    // digits after "Content-Length: " with the line end; may be empty
    std::string videoType;        // text after "Content-Type: video/" with the line end, or "x-flv"
    std::string adapter;          // name of the adapter or capture file that saw it
    int64_t seenAtSeconds = 0;    // capture time of the response packet (Unix seconds), 0 = unknown
    std::string scheme = "http";  // "https" for a video read from a decrypted connection
    VideoExtent extent = VideoExtent::Whole;
    int64_t totalSize = 0;  // see VideoExtent; unused for a whole answer
    int64_t segments = 0;   // a stream's segments counted so far
    int64_t seenAtMs = 0;   // the capture time in milliseconds, for pacing repeated reports; 0 = unknown
};

}  // namespace tarnwick

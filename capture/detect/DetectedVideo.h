// One video response recognised in captured traffic, as handed to the detection callback.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

struct DetectedVideo {
    std::string url;            // host and path, no scheme
    std::string requestText;    // the request packet's payload through its blank line; may be empty
    std::string contentLength;  // digits after "Content-Length: " with the line end; may be empty
    std::string videoType;      // text after "Content-Type: video/" with the line end, or "x-flv"
    std::string adapter;        // name of the adapter or capture file that saw it
    int64_t seenAtSeconds = 0;  // capture time of the response packet (Unix seconds), 0 = unknown
    std::string scheme = "http";  // "https" for a video read from a decrypted connection
};

}  // namespace tarnwick

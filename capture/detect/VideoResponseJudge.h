// Judges one response of a reassembled connection by the rules the per-packet detector shares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/detect/ContentRange.h"
#include "capture/detect/DetectedVideo.h"

namespace tarnwick {

// A video content type decides at once; otherwise the first body bytes decide (the Flash video
// signature, and for an answer without a type or typed as a byte stream the containers that
// VideoSignature knows), and a body that ends before they could show is no video. The size is the
// Content-Length text, and a 206 answer's Content-Range names the whole it is a piece of. Readers of
// other protocols hand over the response head in HTTP/1 text form.
class VideoResponseJudge {
public:
    struct Verdict {
        bool video = false;
        std::string sizeText;  // as the per-packet detector takes it: digits with the line end
        std::string typeText;  // text after "video/" with the line end, or "x-flv"
        int64_t seenAt = 0;
        std::optional<ContentRange> range;  // a 206 answer's piece

        // What the reporter hands on for this verdict.
        DetectedVideo Detection(std::string url, std::string requestText, std::string_view scheme) const;
    };

    // head: status line and headers through the blank line. bodyFollows is false for a response that
    // has no body (the answer to HEAD, 204, 304). The verdict when the head decides, else nothing yet.
    std::optional<Verdict> Begin(std::string_view head, bool bodyFollows, int64_t seenAt);
    // The next body bytes; the verdict once they decide.
    std::optional<Verdict> Body(std::span<const uint8_t> bytes);
    // The body ended; the verdict when one was still waiting.
    std::optional<Verdict> End();
    bool Waiting() const { return waiting_.has_value(); }

private:
    Verdict Decide();

    std::optional<Verdict> waiting_;
    std::string bodyStart_;
    bool bodyTells_ = false;  // the head leaves the container to the body's first bytes
};

}  // namespace tarnwick

// Judges one response of a reassembled connection by the rules the per-packet detector shares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// A video content type decides at once; otherwise the first body bytes decide (the Flash video
// signature), and a body that ends before the signature could show is no video. The size is the
// Content-Length text. Readers of other protocols hand over the response head in HTTP/1 text form.
class VideoResponseJudge {
public:
    struct Verdict {
        bool video = false;
        std::string sizeText;  // as the per-packet detector takes it: digits with the line end
        std::string typeText;  // text after "video/" with the line end, or "x-flv"
        int64_t seenAt = 0;
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
    std::optional<Verdict> waiting_;
    std::string bodyStart_;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Judges one answer by the video rules: its head, then, where the head leaves it open, its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "capture/judge/ContentRange.h"
#include "capture/message/HttpMessage.h"

namespace tarnwick {

// A video content type decides at once; otherwise the first body bytes decide (the Flash video
// signature whatever the type, and for an answer without a type or typed as a byte stream the
// containers that VideoSignature knows), and a body that ends before they could show is no video. Only
// 200 and 206 answers carry videos. The size is the Content-Length text, and a 206 answer's
// Content-Range names the whole it is a piece of.
class VideoResponseJudge {
public:
    struct Verdict {
        bool video = false;
        std::string sizeText;  // the Content-Length value with a line end
        std::string typeText;  // the subtype of "video/..." with a line end, or the container found ("x-flv", "mp4")
        std::optional<ContentRange> range;  // a 206 answer's piece
    };

    void Begin(const HttpResponseHead& answer, bool bodyFollows);
    // Body bytes still needed to decide; 0 once decided.
    size_t Wanted() const { return decided_ ? 0 : probe_ - bodyStart_.size(); }
    void Body(std::span<const uint8_t> bytes);
    // The body ended (or will not be read further): decides with what came.
    void End();
    bool Decided() const { return decided_; }
    const Verdict& Result() const { return verdict_; }

private:
    void Decide();

    Verdict verdict_;
    std::string bodyStart_;
    size_t probe_ = 0;
    bool bodyTells_ = false;  // the head leaves the container to the body's first bytes
    bool decided_ = true;
};

}  // namespace tarnwick

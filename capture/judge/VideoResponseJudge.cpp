// SPDX-License-Identifier: GPL-3.0-or-later
// Judges one answer by the video rules: its head, then, where the head leaves it open, its first bytes.
#include "capture/judge/VideoResponseJudge.h"

#include <algorithm>
#include <utility>

#include "capture/judge/VideoResponseRules.h"
#include "capture/judge/VideoSignature.h"

namespace tarnwick {

namespace Rules = VideoResponseRules;

void VideoResponseJudge::Begin(const HttpResponseHead& answer, bool bodyFollows) {
    verdict_ = Verdict{};
    bodyStart_.clear();
    decided_ = true;
    if (!Rules::MayCarryVideo(answer.status) || !answer.fields) return;
    const HttpFields& fields = *answer.fields;
    verdict_.sizeText = Rules::SizeText(fields);
    if (answer.status == 206) verdict_.range = Rules::RangeOf(fields);
    if (auto type = Rules::VideoTypeText(fields)) {
        verdict_.video = true;
        verdict_.typeText = std::move(*type);
        return;
    }
    if (!bodyFollows) return;
    bodyTells_ = Rules::TypeLeavesBodyToTell(fields);
    // The Flash signature needs three bytes; the other containers as many as a transport stream.
    probe_ = bodyTells_ ? VideoSignature::kTransportStreamProbe : Rules::kFlvSignature.size();
    decided_ = false;
}

void VideoResponseJudge::Body(std::span<const uint8_t> bytes) {
    if (decided_ || bytes.empty()) return;
    const size_t take = std::min(bytes.size(), probe_ - bodyStart_.size());
    bodyStart_.append(reinterpret_cast<const char*>(bytes.data()), take);
    if (bodyStart_.size() < Rules::kFlvSignature.size()) return;
    // A container decides as soon as its signature is there; only a transport stream needs the whole probe.
    const bool flv = bodyStart_.compare(0, Rules::kFlvSignature.size(), Rules::kFlvSignature) == 0;
    if (!flv && bodyTells_ && bodyStart_.size() < probe_ &&
        VideoSignature::TypeOf(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bodyStart_.data()), bodyStart_.size()))
            .empty())
        return;
    Decide();
}

void VideoResponseJudge::End() {
    if (!decided_) Decide();
}

void VideoResponseJudge::Decide() {
    decided_ = true;
    if (bodyStart_.compare(0, Rules::kFlvSignature.size(), Rules::kFlvSignature) == 0) {
        verdict_.video = true;
        verdict_.typeText = std::string(Rules::kFlvType);
    } else if (bodyTells_) {
        const std::string_view type = VideoSignature::TypeOf(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bodyStart_.data()), bodyStart_.size()));
        verdict_.video = !type.empty();
        verdict_.typeText = std::string(type);
    }
    bodyStart_.clear();
    bodyStart_.shrink_to_fit();
}

}  // namespace tarnwick

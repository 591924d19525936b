// Judges one response of a reassembled connection by the rules the per-packet detector shares.
#include "capture/detect/VideoResponseJudge.h"

#include <algorithm>
#include <utility>

#include "capture/decode/PacketView.h"
#include "capture/detect/VideoResponseRules.h"

namespace tarnwick {

namespace Rules = VideoResponseRules;

std::optional<VideoResponseJudge::Verdict> VideoResponseJudge::Begin(std::string_view head, bool bodyFollows,
                                                                     int64_t seenAt) {
    waiting_.reset();
    bodyStart_.clear();
    const PacketView view(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    Verdict verdict;
    verdict.sizeText = Rules::SizeText(view, 0, head.size());
    verdict.seenAt = seenAt;
    if (const auto typeAt = Rules::VideoTypeAt(view, 0, head.size())) {
        verdict.video = true;
        verdict.typeText = Rules::TypeText(view, *typeAt, head.size());
        return verdict;
    }
    if (!bodyFollows) return verdict;
    waiting_ = std::move(verdict);
    return std::nullopt;
}

std::optional<VideoResponseJudge::Verdict> VideoResponseJudge::Body(std::span<const uint8_t> bytes) {
    if (!waiting_ || bytes.empty()) return std::nullopt;
    const size_t take = std::min(bytes.size(), Rules::kFlvSignature.size() - bodyStart_.size());
    bodyStart_.append(reinterpret_cast<const char*>(bytes.data()), take);
    if (bodyStart_.size() < Rules::kFlvSignature.size()) return std::nullopt;
    Verdict verdict = std::move(*waiting_);
    waiting_.reset();
    verdict.video = bodyStart_ == Rules::kFlvSignature;
    if (verdict.video) verdict.typeText = std::string(Rules::kFlvType);
    return verdict;
}

std::optional<VideoResponseJudge::Verdict> VideoResponseJudge::End() {
    if (!waiting_) return std::nullopt;
    Verdict verdict = std::move(*waiting_);
    waiting_.reset();
    return verdict;
}

}  // namespace tarnwick

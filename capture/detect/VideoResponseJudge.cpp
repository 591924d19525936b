// Judges one response of a reassembled connection by the rules the per-packet detector shares.
#include "capture/detect/VideoResponseJudge.h"

#include <algorithm>
#include <utility>

#include "capture/decode/PacketView.h"
#include "capture/detect/VideoResponseRules.h"
#include "capture/detect/VideoSignature.h"

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
    const std::string_view status = Rules::StatusCode(view, 0);
    if (status == "206") verdict.range = Rules::RangeOf(view, 0, head.size());
    bodyTells_ = Rules::MayCarryVideo(status) && Rules::TypeLeavesBodyToTell(view, 0, head.size());
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
    // The Flash signature needs three bytes; the other containers as many as a transport stream.
    const size_t probe = bodyTells_ ? VideoSignature::kTransportStreamProbe : Rules::kFlvSignature.size();
    const size_t take = std::min(bytes.size(), probe - bodyStart_.size());
    bodyStart_.append(reinterpret_cast<const char*>(bytes.data()), take);
    if (bodyStart_.size() < Rules::kFlvSignature.size()) return std::nullopt;
    if (bodyStart_.compare(0, Rules::kFlvSignature.size(), Rules::kFlvSignature) != 0 && bodyStart_.size() < probe)
        return std::nullopt;
    return Decide();
}

std::optional<VideoResponseJudge::Verdict> VideoResponseJudge::End() {
    if (!waiting_) return std::nullopt;
    return Decide();
}

VideoResponseJudge::Verdict VideoResponseJudge::Decide() {
    Verdict verdict = std::move(*waiting_);
    waiting_.reset();
    if (bodyStart_.compare(0, Rules::kFlvSignature.size(), Rules::kFlvSignature) == 0) {
        verdict.video = true;
        verdict.typeText = std::string(Rules::kFlvType);
    } else if (bodyTells_) {
        const std::string_view type = VideoSignature::TypeOf(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bodyStart_.data()), bodyStart_.size()));
        verdict.video = !type.empty();
        verdict.typeText = std::string(type);
    }
    return verdict;
}

DetectedVideo VideoResponseJudge::Verdict::Detection(std::string url, std::string requestText,
                                                     std::string_view scheme) const {
    DetectedVideo video{std::move(url), std::move(requestText), sizeText, typeText, {}, seenAt};
    video.scheme = std::string(scheme);
    if (range) {
        video.extent = range->total ? VideoExtent::Piece : VideoExtent::PieceOfUnknown;
        video.totalSize = range->WholeSize();
    }
    return video;
}

}  // namespace tarnwick

// One direction of a TCP connection: segments in any order in, each byte handed on once and in order.
#include "capture/stream/OrderedByteStream.h"

namespace tarnwick {

OrderedByteStream::Outcome OrderedByteStream::Accept(uint32_t sequence, std::span<const uint8_t> bytes,
                                                     size_t maxAhead, size_t room, Deliver deliver,
                                                     void* context) {
    if (bytes.empty()) return Outcome::Delivered;
    int64_t start = OffsetOf(sequence);
    const int64_t end = start + static_cast<int64_t>(bytes.size());
    const auto next = static_cast<int64_t>(next_);
    if (end <= next) return Outcome::Duplicate;
    if (start < next) {
        bytes = bytes.subspan(static_cast<size_t>(next - start));
        start = next;
    }
    if (start == next) {
        if (Hand(bytes, deliver, context)) Drain(deliver, context);
        return Outcome::Delivered;
    }
    // Ahead of a hole: kept until the hole is filled, within the bound.
    if (static_cast<uint64_t>(end - next) > maxAhead) return Outcome::TooFar;
    if (bytes.size() > room) return Outcome::Full;
    auto [place, inserted] = waiting_.try_emplace(static_cast<uint64_t>(start));
    if (!inserted) {
        if (place->second.size() >= bytes.size()) return Outcome::Duplicate;  // a longer copy waits already
        buffered_ -= place->second.size();  // the shorter copy is replaced; room counted it as well
    }
    place->second.assign(bytes.begin(), bytes.end());
    buffered_ += bytes.size();
    return Outcome::Waiting;
}

bool OrderedByteStream::Drain(Deliver deliver, void* context) {
    while (!waiting_.empty() && waiting_.begin()->first <= next_) {
        auto node = waiting_.extract(waiting_.begin());
        buffered_ -= node.mapped().size();
        const uint64_t pieceEnd = node.key() + node.mapped().size();
        if (pieceEnd <= next_) continue;  // wholly delivered already by an overlapping piece
        const std::span<const uint8_t> fresh(node.mapped().data() + (next_ - node.key()), pieceEnd - next_);
        if (!Hand(fresh, deliver, context)) return false;
    }
    return true;
}

void OrderedByteStream::MarkEnd(uint32_t endSequence) {
    if (endOffset_ < 0) endOffset_ = OffsetOf(endSequence);
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// One direction of a TCP connection: segments in any order in, each byte handed on once and in order.
#include "capture/stream/OrderedByteStream.h"

#include <algorithm>
#include <iterator>

namespace tarnwick {

OrderedByteStream::Outcome OrderedByteStream::Accept(uint32_t sequence, std::span<const uint8_t> captured,
                                                     size_t wireLength, ByteConsumer& consumer) {
    if (wireLength == 0) return Outcome::Duplicate;
    if (skipAll_) {
        // The rest of the direction is passed over: its bytes count as they come.
        skipped_ += wireLength;
        return Outcome::Skipped;
    }
    captured = captured.first(std::min(captured.size(), wireLength));
    int64_t start = OffsetOf(sequence);
    const int64_t end = start + static_cast<int64_t>(wireLength);
    const auto next = static_cast<int64_t>(next_);
    if (end <= next) {
        if (start >= static_cast<int64_t>(skipFrom_)) return Outcome::Skipped;
        return Outcome::Duplicate;
    }
    uint64_t wire = wireLength;
    if (start < next) {
        const auto trim = static_cast<size_t>(next - start);
        captured = captured.subspan(std::min(trim, captured.size()));
        wire -= trim;
        start = next;
    }
    if (start == next) {
        Hand(captured, wire, consumer);
        Drain(consumer);
        CheckAcknowledged(consumer);
        return Outcome::Delivered;
    }
    if (static_cast<uint64_t>(start - next) > kMaxAhead) return Outcome::TooFar;
    const bool stored = Store(static_cast<uint64_t>(start), captured, wire);
    CheckAcknowledged(consumer);
    return stored ? Outcome::Waiting : Outcome::Duplicate;
}

void OrderedByteStream::Hand(std::span<const uint8_t> captured, uint64_t wire, ByteConsumer& consumer) {
    const uint64_t stretchEnd = next_ + wire;
    if (!captured.empty() && !consumer.Done()) {
        Advance(captured.size());
        delivered_ += captured.size();
        ApplySkip(consumer.Take(captured));
    } else if (!captured.empty()) {
        Advance(captured.size());
    }
    // The part the capture cut off, unless the reader passes over it anyway.
    if (!skipAll_ && next_ < stretchEnd) Lose(stretchEnd - next_, consumer);
}

void OrderedByteStream::ApplySkip(uint64_t count) {
    if (count == 0) return;
    skipFrom_ = next_;
    if (count == ByteConsumer::kRest) {
        skipAll_ = true;
        for (auto piece = waiting_.begin(); piece != waiting_.end();) Erase(piece++);
        return;
    }
    Advance(count);
    skipped_ += count;
    // What waited inside the stretch is not needed any more.
    while (!waiting_.empty() && waiting_.begin()->first + waiting_.begin()->second.wire <= next_)
        Erase(waiting_.begin());
}

void OrderedByteStream::Lose(uint64_t count, ByteConsumer& consumer) {
    ++gaps_;
    lost_ += count;
    Advance(count);
    if (!consumer.Done()) ApplySkip(consumer.Lost(count));
}

void OrderedByteStream::Drain(ByteConsumer& consumer) {
    while (!skipAll_ && !waiting_.empty() && waiting_.begin()->first <= next_) {
        auto first = waiting_.begin();
        const uint64_t start = first->first;
        Piece piece = std::move(first->second);
        held_ -= std::min(held_, CostOf(piece));
        waiting_.erase(first);
        if (start + piece.wire <= next_) continue;  // wholly delivered or passed over already
        const uint64_t offset = next_ - start;
        std::span<const uint8_t> captured(piece.bytes);
        captured = captured.subspan(std::min<uint64_t>(offset, captured.size()));
        Hand(captured, piece.wire - offset, consumer);
    }
}

bool OrderedByteStream::Store(uint64_t start, std::span<const uint8_t> captured, uint64_t wire) {
    const uint64_t end = start + wire;
    auto after = waiting_.lower_bound(start);
    Pieces::iterator merged;
    bool grown = false;
    if (after != waiting_.begin()) {
        auto before = std::prev(after);
        const uint64_t beforeEnd = before->first + before->second.wire;
        if (beforeEnd >= end) return false;  // a copy waits already
        // Touching a piece whose bytes were all captured: grow that piece instead of adding one.
        if (beforeEnd >= start && before->second.bytes.size() == before->second.wire) {
            held_ -= std::min(held_, CostOf(before->second));
            const uint64_t overlap = beforeEnd - start;
            if (overlap < captured.size())
                before->second.bytes.insert(before->second.bytes.end(),
                                            captured.begin() + static_cast<ptrdiff_t>(overlap), captured.end());
            before->second.wire = end - before->first;
            held_ += CostOf(before->second);
            merged = before;
            grown = true;
        }
    }
    if (!grown) {
        if (after != waiting_.end() && after->first == start) {
            if (after->second.wire >= wire) return false;  // a longer copy waits already
            Erase(after++);
        }
        merged = waiting_.emplace_hint(after, start, Piece{{captured.begin(), captured.end()}, wire});
        held_ += CostOf(merged->second);
    }
    // Pieces the merged one reaches: taken in when they add to it, dropped when it covers them.
    for (auto next = std::next(merged); next != waiting_.end();) {
        Piece& piece = merged->second;
        const uint64_t mergedEnd = merged->first + piece.wire;
        if (next->first > mergedEnd) break;
        const uint64_t nextEnd = next->first + next->second.wire;
        if (nextEnd <= mergedEnd) {
            Erase(next++);
            continue;
        }
        if (piece.bytes.size() != piece.wire) break;  // the merged piece ends in bytes the capture lost
        held_ -= std::min(held_, CostOf(piece));
        const uint64_t overlap = mergedEnd - next->first;
        const auto& more = next->second.bytes;
        if (overlap < more.size())
            piece.bytes.insert(piece.bytes.end(), more.begin() + static_cast<ptrdiff_t>(overlap), more.end());
        piece.wire = nextEnd - merged->first;
        held_ += CostOf(piece);
        Erase(next++);
    }
    return true;
}

void OrderedByteStream::Erase(Pieces::iterator piece) {
    held_ -= std::min(held_, CostOf(piece->second));
    waiting_.erase(piece);
}

void OrderedByteStream::LoseUpTo(uint64_t target, ByteConsumer& consumer) {
    if (target <= next_ || skipAll_) return;
    Lose(target - next_, consumer);
    Drain(consumer);
}

bool OrderedByteStream::GiveUpHole(ByteConsumer& consumer) {
    if (waiting_.empty() || skipAll_) return false;
    LoseUpTo(waiting_.begin()->first, consumer);
    return true;
}

void OrderedByteStream::CheckAcknowledged(ByteConsumer& consumer) {
    // Bytes the receiver has that the capture never saw: with later bytes waiting, or the sender done,
    // the hole up to the acknowledged byte (or the first waiting piece) will never be filled.
    while (!skipAll_ && acknowledged_ > next_ && (!waiting_.empty() || endOffset_ >= 0)) {
        // The FIN takes up a sequence number of its own: an acknowledgement of it is no lost byte.
        uint64_t target = acknowledged_;
        if (endOffset_ >= 0) target = std::min(target, static_cast<uint64_t>(endOffset_));
        if (!waiting_.empty()) target = std::min(target, waiting_.begin()->first);
        const uint64_t before = next_;
        LoseUpTo(target, consumer);
        if (next_ == before) break;
    }
}

void OrderedByteStream::Acknowledged(uint32_t acknowledgement, ByteConsumer& consumer) {
    if (!started_ || skipAll_) return;
    const int64_t offset = OffsetOf(acknowledgement);
    if (offset <= static_cast<int64_t>(acknowledged_) ||
        offset - static_cast<int64_t>(next_) > static_cast<int64_t>(kMaxAhead))
        return;
    acknowledged_ = static_cast<uint64_t>(offset);
    CheckAcknowledged(consumer);
}

void OrderedByteStream::MarkEnd(uint32_t endSequence, ByteConsumer& consumer) {
    if (endSeen_) return;
    endSeen_ = true;
    if (skipAll_) return;
    endOffset_ = OffsetOf(endSequence);
    CheckAcknowledged(consumer);
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Puts the pieces of one QUIC byte stream (a STREAM or CRYPTO sequence) back in order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace tarnwick {

// Pieces come at any offset, out of order and repeated (a lost packet's data is sent again, perhaps cut
// differently). What continues the delivered bytes is handed on at once, without a copy; pieces ahead of
// a hole are held until it fills, within a bound the caller gives. Bytes already delivered are dropped.
class QuicStreamAssembler {
public:
    // What holding a piece costs beyond its bytes.
    static constexpr size_t kPieceUpkeep = 48;

    enum class Result : uint8_t { Ok, OverBound, Stopped };

    // deliver(bytes) takes the next in-order bytes; it returns false to want no more, and the assembler
    // then drops all it holds and takes nothing more (Stopped). maxHeld: what it may hold after this
    // piece; a piece beyond it is refused (OverBound) and the stream has a hole for good.
    template <typename Deliver>
    Result Add(uint64_t offset, std::span<const uint8_t> bytes, bool fin, size_t maxHeld, Deliver&& deliver);

    uint64_t Delivered() const { return next_; }
    size_t Held() const { return held_; }
    bool Stopped() const { return stopped_; }
    // The final size is known and every byte before it was delivered.
    bool Complete() const { return finalSize_ && next_ >= *finalSize_; }
    void Stop() {
        stopped_ = true;
        pending_.clear();
        held_ = 0;
    }

private:
    uint64_t next_ = 0;
    std::optional<uint64_t> finalSize_;
    std::map<uint64_t, std::vector<uint8_t>> pending_;
    size_t held_ = 0;
    bool stopped_ = false;
};

template <typename Deliver>
QuicStreamAssembler::Result QuicStreamAssembler::Add(uint64_t offset, std::span<const uint8_t> bytes, bool fin,
                                                     size_t maxHeld, Deliver&& deliver) {
    if (stopped_) return Result::Stopped;
    if (fin) finalSize_ = offset + bytes.size();
    // What was delivered already is passed over.
    if (offset < next_) {
        const uint64_t seen = next_ - offset;
        if (seen >= bytes.size()) return Result::Ok;
        bytes = bytes.subspan(static_cast<size_t>(seen));
        offset = next_;
    }
    if (bytes.empty()) return Result::Ok;
    if (offset > next_) {
        auto& held = pending_[offset];
        if (held.size() >= bytes.size()) return Result::Ok;
        const size_t more = bytes.size() - held.size() + (held.empty() ? kPieceUpkeep : 0);
        if (held_ + more > maxHeld) {
            if (held.empty()) pending_.erase(offset);
            return Result::OverBound;
        }
        held_ += more;
        held.assign(bytes.begin(), bytes.end());
        return Result::Ok;
    }
    next_ += bytes.size();
    if (!deliver(bytes)) {
        Stop();
        return Result::Stopped;
    }
    // Held pieces that now continue the stream follow.
    while (!pending_.empty() && pending_.begin()->first <= next_) {
        const auto piece = pending_.begin();
        std::vector<uint8_t> held = std::move(piece->second);
        const uint64_t start = piece->first;
        pending_.erase(piece);
        held_ -= std::min(held_, held.size() + kPieceUpkeep);
        const uint64_t seen = next_ - start;
        if (seen >= held.size()) continue;
        const auto rest = std::span<const uint8_t>(held).subspan(static_cast<size_t>(seen));
        next_ += rest.size();
        if (!deliver(rest)) {
            Stop();
            return Result::Stopped;
        }
    }
    return Result::Ok;
}

}  // namespace tarnwick

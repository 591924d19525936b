// SPDX-License-Identifier: GPL-3.0-or-later
// One direction of a TCP connection: segments in any order in, each byte handed on once and in order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace tarnwick {

// Where the bytes go, and what the reader will not need.
class ByteConsumer {
public:
    static constexpr uint64_t kRest = UINT64_MAX;

    // The next bytes in order. Returns how many of the bytes after them may be passed over unread
    // (kRest: all that follow).
    virtual uint64_t Take(std::span<const uint8_t> bytes) = 0;
    // count bytes were sent but never captured; they lie just before the next Take. Returns as Take.
    virtual uint64_t Lost(uint64_t count) = 0;
    // True once nothing more is wanted: delivery stops.
    virtual bool Done() const = 0;

protected:
    ~ByteConsumer() = default;
};

// Positions are kept as 64-bit offsets from the first byte, so sequence numbers may wrap. Bytes that
// arrive ahead of a hole wait here, pieces that touch merged into one, and what they cost (their bytes
// and the upkeep of each piece) is counted. Bytes seen before (retransmissions, overlaps) are passed
// over, so where two copies of a byte differ the first one delivered wins. A hole is given up (the
// consumer is told how many bytes it lost) once the receiver has acknowledged bytes beyond it, which it
// can only have received if the capture missed them (once later bytes wait or the sender is done, so
// that a capture that merely reordered segments and acknowledgements is not taken for a loss), or when
// its owner says so; a reader that passes over a stretch (a body it does not need) passes over holes in
// it without noticing.
class OrderedByteStream {
public:
    enum class Outcome {
        Delivered,  // in order: handed on at once, with whatever waited behind it
        Waiting,    // ahead of a hole: kept until the hole is filled or given up
        Duplicate,  // every byte was delivered before
        Skipped,    // every byte lies in a stretch the reader passes over
        TooFar,     // further ahead than any TCP window reaches: not kept
    };

    // What each waiting piece costs beyond its bytes: its node in the map of pieces (72 bytes), as the
    // allocator hands it out.
    static constexpr size_t kPieceUpkeep = 80;
    // A segment further ahead than this cannot belong to the connection.
    static constexpr uint64_t kMaxAhead = 1u << 30;

    void Start(uint32_t firstSequence) {
        started_ = true;
        nextSequence_ = firstSequence;
    }
    bool Started() const { return started_; }

    // Takes a segment of wireLength bytes starting at sequence, of which captured are the first ones that
    // the capture kept (fewer when it cut the frame short: the rest is lost).
    Outcome Accept(uint32_t sequence, std::span<const uint8_t> captured, size_t wireLength, ByteConsumer& consumer);
    // The receiver acknowledged every byte before acknowledgement: a hole before it can never be filled.
    void Acknowledged(uint32_t acknowledgement, ByteConsumer& consumer);
    // Whether acknowledgement reaches beyond what was acknowledged so far (cheap: asked of every segment).
    bool AcknowledgesMore(uint32_t acknowledgement) const {
        return started_ && !skipAll_ && OffsetOf(acknowledgement) > static_cast<int64_t>(acknowledged_);
    }
    // The sender has no data after endSequence (the FIN's sequence number).
    void MarkEnd(uint32_t endSequence, ByteConsumer& consumer);
    // Gives up the first hole: its bytes are lost, what waits behind it is handed on. False when
    // nothing waits.
    bool GiveUpHole(ByteConsumer& consumer);

    // Every byte up to the sender's FIN has been delivered or passed over.
    bool Finished() const {
        return endSeen_ && (skipAll_ || (endOffset_ >= 0 && static_cast<int64_t>(next_) >= endOffset_));
    }
    bool HasHole() const { return !waiting_.empty(); }
    // What waiting pieces cost now.
    size_t HeldBytes() const { return held_; }

    uint64_t BytesDelivered() const { return delivered_; }
    uint64_t BytesSkipped() const { return skipped_; }
    uint64_t BytesLost() const { return lost_; }
    uint64_t Gaps() const { return gaps_; }

private:
    struct Piece {
        std::vector<uint8_t> bytes;  // captured
        uint64_t wire = 0;           // its length on the wire: the bytes beyond bytes.size() are lost
    };
    using Pieces = std::map<uint64_t, Piece>;  // by offset of their first byte

    // Offset of a sequence number relative to the next expected byte's; segments are never 2 GiB apart.
    int64_t OffsetOf(uint32_t sequence) const {
        return static_cast<int64_t>(next_) + static_cast<int32_t>(sequence - nextSequence_);
    }
    // The bytes as the allocator takes them too (an 8-byte header, a 16-byte grain, 32 at least): a
    // one-byte piece costs 112 bytes, not 97.
    static size_t CostOf(const Piece& piece) {
        const size_t capacity = piece.bytes.capacity();
        return kPieceUpkeep + (capacity == 0 ? 0 : std::max<size_t>(32, (capacity + 8 + 15) & ~size_t{15}));
    }
    // Hands on a stretch starting at next_: captured bytes, then wire - captured lost ones.
    void Hand(std::span<const uint8_t> captured, uint64_t wire, ByteConsumer& consumer);
    void Advance(uint64_t count) {
        next_ += count;
        nextSequence_ += static_cast<uint32_t>(count);
    }
    void ApplySkip(uint64_t count);
    void Lose(uint64_t count, ByteConsumer& consumer);
    void Drain(ByteConsumer& consumer);
    // False when a copy of every byte waits already.
    bool Store(uint64_t start, std::span<const uint8_t> captured, uint64_t wire);
    void Erase(Pieces::iterator piece);
    // Gives up the hole up to target (the first waiting piece, or an acknowledged byte).
    void LoseUpTo(uint64_t target, ByteConsumer& consumer);
    void CheckAcknowledged(ByteConsumer& consumer);

    bool started_ = false;
    bool skipAll_ = false;
    bool endSeen_ = false;
    uint32_t nextSequence_ = 0;
    uint64_t next_ = 0;               // offset of the next byte the reader expects
    uint64_t skipFrom_ = UINT64_MAX;  // where the latest stretch passed over began; none yet
    uint64_t acknowledged_ = 0;
    int64_t endOffset_ = -1;
    size_t held_ = 0;
    uint64_t delivered_ = 0;
    uint64_t skipped_ = 0;
    uint64_t lost_ = 0;
    uint64_t gaps_ = 0;
    Pieces waiting_;
};

}  // namespace tarnwick

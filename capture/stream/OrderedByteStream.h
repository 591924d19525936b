// One direction of a TCP connection: segments in any order in, each byte handed on once and in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace tarnwick {

// Positions are kept as 64-bit offsets from the first byte, so sequence numbers may wrap. Bytes
// that arrive ahead of a hole wait here; bytes seen before (retransmissions, overlaps) are passed
// over, so where two copies of a byte differ the first one delivered wins.
class OrderedByteStream {
public:
    enum class Outcome {
        Delivered,  // in order: handed on at once, with whatever waited behind it
        Waiting,    // ahead of a hole: kept until the hole is filled
        Duplicate,  // every byte was delivered before
        TooFar,     // the segment lies further than maxAhead beyond the hole: bytes were lost
        Full,       // keeping it would take more than room bytes
    };

    // deliver(span) takes each in-order run and returns false to stop delivering (the reader is done).
    using Deliver = bool (*)(void* context, std::span<const uint8_t> bytes);

    void Start(uint32_t firstSequence) {
        started_ = true;
        nextSequence_ = firstSequence;
    }
    bool Started() const { return started_; }

    // Takes the payload of a segment starting at sequence. room is what this direction may still keep
    // waiting; maxAhead how far beyond the next expected byte a segment may reach.
    Outcome Accept(uint32_t sequence, std::span<const uint8_t> bytes, size_t maxAhead, size_t room, Deliver deliver,
                   void* context);
    // The sender has no data after endSequence (the FIN's sequence number).
    void MarkEnd(uint32_t endSequence);

    // Every byte up to the sender's FIN has been delivered.
    bool Finished() const { return endOffset_ >= 0 && static_cast<int64_t>(next_) >= endOffset_; }
    // Bytes are waiting for a hole to be filled.
    bool HasHole() const { return !waiting_.empty(); }
    size_t BufferedBytes() const { return buffered_; }
    uint64_t DeliveredBytes() const { return next_; }

private:
    // Offset of a sequence number relative to the next expected byte's; segments are never 2 GiB apart.
    int64_t OffsetOf(uint32_t sequence) const {
        return static_cast<int64_t>(next_) + static_cast<int32_t>(sequence - nextSequence_);
    }
    // Hands on waiting pieces that the stream has reached; false when delivery was stopped.
    bool Drain(Deliver deliver, void* context);
    bool Hand(std::span<const uint8_t> bytes, Deliver deliver, void* context) {
        next_ += bytes.size();
        nextSequence_ += static_cast<uint32_t>(bytes.size());
        return deliver(context, bytes);
    }

    bool started_ = false;
    uint32_t nextSequence_ = 0;
    uint64_t next_ = 0;  // offset of the next byte to deliver
    int64_t endOffset_ = -1;
    size_t buffered_ = 0;
    std::map<uint64_t, std::vector<uint8_t>> waiting_;  // by offset of their first byte
};

}  // namespace tarnwick

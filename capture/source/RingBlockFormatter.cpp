// SPDX-License-Identifier: GPL-3.0-or-later
// Kernel ring blocks rewritten into pcapng packet blocks in place.
#include "capture/source/RingBlockFormatter.h"

#include <linux/if_packet.h>

#include <cstddef>
#include <cstring>

#include "capture/source/PcapngBlocks.h"

namespace tarnwick {

namespace {

constexpr size_t kBlockHeaderBytes = sizeof(tpacket_block_desc);
constexpr uint32_t kPacketBlockHead = pcapng::kEnhancedPacketFixedBytes + 8;  // type, length, fixed fields

void Store32(uint8_t* at, uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}

uint64_t Padded(uint64_t bytes) {
    return (bytes + 3) & ~uint64_t{3};
}

}  // namespace

RingBlockFormatter::RingBlockFormatter(int linkType, uint32_t interface, int loopbackIndex)
    : linkType_(linkType), interface_(interface), loopbackIndex_(loopbackIndex) {}

void RingBlockFormatter::PutPacketHeader(uint8_t* at, const RingBlockWalker::Frame& frame, uint32_t captured,
                                         uint32_t total) const {
    Store32(at, pcapng::kEnhancedPacket);
    Store32(at + 4, total);
    Store32(at + 8, interface_);
    Store32(at + 12, static_cast<uint32_t>(frame.microseconds >> 32));
    Store32(at + 16, static_cast<uint32_t>(frame.microseconds));
    Store32(at + 20, captured);
    Store32(at + 24, frame.original + (captured - frame.captured));
    const uint32_t end = kPacketBlockHead + captured;
    std::memset(at + end, 0, total - 4 - end);  // padding to a whole word
    Store32(at + total - 4, total);
}

bool RingBlockFormatter::Format(uint8_t* block, size_t blockSize, std::vector<Piece>& pieces) {
    pieces.clear();
    copies_.clear();
    if (!walker_.Read(block, blockSize, linkType_, loopbackIndex_)) {
        error_ = "the kernel's capture ring holds a damaged block: " + walker_.Error();
        return false;
    }
    const auto& frames = walker_.Frames();

    // Pieces are collected as offsets: the memory of copies may move while it grows.
    struct Span {
        bool inBlock;
        uint64_t start;
        uint64_t size;
    };
    std::vector<Span> spans;
    uint64_t floor = kBlockHeaderBytes;  // nothing below is written: the kernel's block header
    bool open = false;
    uint64_t pieceStart = 0;
    uint64_t cursor = 0;  // the end of the open piece
    auto close = [&] {
        if (open) spans.push_back({true, pieceStart, cursor - pieceStart});
        open = false;
    };
    for (size_t i = 0; i < frames.size(); ++i) {
        const RingBlockWalker::Frame& frame = frames[i];
        if (frame.skip) continue;
        const uint32_t prefix = walker_.PrefixBytes(frame);
        const uint32_t captured = frame.captured + prefix;
        const uint64_t total = kPacketBlockHead + Padded(captured) + 4;
        // Written in place only between the last block written and the next packet's bytes.
        const uint64_t ceiling = i + 1 < frames.size() ? frames[i + 1].data : blockSize;
        const bool roomBefore = frame.data >= uint64_t{prefix} + kPacketBlockHead;
        const uint64_t start = roomBefore ? frame.data - prefix - kPacketBlockHead : 0;
        if (total > UINT32_MAX) {
            error_ = "the kernel's capture ring holds a damaged block: a packet too large for a pcapng block";
            return false;
        }
        if (roomBefore && start >= floor && start + total <= ceiling) {
            const uint64_t gap = start - cursor;
            if (open && gap != 0 && (gap < pcapng::kBlockFrameBytes || gap % 4 != 0)) close();
            if (open && gap != 0) {
                Store32(block + cursor, kGapBlockType);
                Store32(block + cursor + 4, static_cast<uint32_t>(gap));
                Store32(block + start - 4, static_cast<uint32_t>(gap));
            }
            if (!open) {
                open = true;
                pieceStart = start;
            }
            walker_.PutFrame(block + start + kPacketBlockHead, frame, block);
            PutPacketHeader(block + start, frame, captured, static_cast<uint32_t>(total));
            cursor = floor = start + total;
        } else {
            close();
            const size_t at = copies_.size();
            copies_.resize(at + total);
            walker_.PutFrame(copies_.data() + at + kPacketBlockHead, frame, block);
            PutPacketHeader(copies_.data() + at, frame, captured, static_cast<uint32_t>(total));
            spans.push_back({false, at, total});
        }
        ++packets_;
    }
    close();
    for (const Span& span : spans)
        pieces.push_back({(span.inBlock ? block : copies_.data()) + span.start, span.size, span.inBlock});
    return true;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Turns a filled block of the kernel's capture ring (TPACKET_V3) into pcapng packet blocks where it
// lies: each packet gets its block header written in front of its bytes and its trailer after them,
// and the gaps between packets become blocks of a local type that readers skip. The block can then be
// handed to a pipe by reference, without a copy. Packets that do not fit in place are built in memory
// of the formatter's own. The packets are those RingBlockWalker reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/source/RingBlockWalker.h"

namespace tarnwick {

class RingBlockFormatter {
public:
    // A piece of the stream, in order: in the ring block (handed over by reference) or in the
    // formatter's own memory (valid until the next Format()).
    struct Piece {
        const uint8_t* data = nullptr;
        size_t size = 0;
        bool inBlock = false;
    };

    // linkType is the adapter's as the library delivers it; outgoing packets of loopbackIndex are left out.
    RingBlockFormatter(int linkType, uint32_t interface, int loopbackIndex);

    // Rewrites block (blockSize bytes, owned by this process until it gives the block back) and lists
    // its pieces. False, with Error() set, when the block's records contradict themselves; nothing of
    // the block may be sent then.
    bool Format(uint8_t* block, size_t blockSize, std::vector<Piece>& pieces);
    const std::string& Error() const { return error_; }
    uint64_t Packets() const { return packets_; }

    // A block type for local use (the most significant bit set): readers skip blocks they do not know.
    static constexpr uint32_t kGapBlockType = 0x80547770;

private:
    void PutPacketHeader(uint8_t* at, const RingBlockWalker::Frame& frame, uint32_t captured, uint32_t total) const;

    int linkType_;
    uint32_t interface_;
    int loopbackIndex_;
    RingBlockWalker walker_;
    std::vector<uint8_t> copies_;
    std::string error_;
    uint64_t packets_ = 0;
};

}  // namespace tarnwick

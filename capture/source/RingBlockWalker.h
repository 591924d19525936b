// SPDX-License-Identifier: GPL-3.0-or-later
// The packets of a filled block of the kernel's capture ring (TPACKET_V3), as the library would deliver
// them: cooked headers (Linux SLL and SLL2) are built from the kernel's address record and VLAN tags
// put back into Ethernet and cooked frames; outgoing packets of the loopback adapter are marked to be
// left out, as the same packets come in again. Every offset the kernel wrote is checked against the
// block before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

class RingBlockWalker {
public:
    struct Frame {
        uint64_t data = 0;      // offset of the packet's bytes in the block
        uint32_t captured = 0;  // as the kernel gave them
        uint32_t original = 0;
        uint64_t microseconds = 0;
        bool skip = false;
        bool vlan = false;
        uint16_t vlanTpid = 0;
        uint16_t vlanTci = 0;
        // The kernel's address record, for cooked headers.
        uint16_t protocol = 0;  // network byte order, as the kernel keeps it
        int32_t ifindex = 0;
        uint16_t hatype = 0;
        uint8_t pkttype = 0;
        uint8_t halen = 0;
        uint8_t address[8] = {};
    };

    // Every packet record is read (nothing of the block is changed); false, with Error() saying how,
    // when the records contradict the block or each other.
    bool Read(const uint8_t* block, size_t blockSize, int linkType, int loopbackIndex);
    const std::vector<Frame>& Frames() const { return frames_; }
    const std::string& Error() const { return error_; }

    // Bytes the delivered frame has in front of the packet's own: a cooked header, a VLAN tag.
    uint32_t PrefixBytes(const Frame& frame) const;
    // Writes the delivered frame (PrefixBytes() + captured) at out, reading the packet's bytes from
    // block; out may be where the prefix lies in front of them in the block itself.
    void PutFrame(uint8_t* out, const Frame& frame, const uint8_t* block) const;

private:
    bool Fail(const std::string& why);

    int linkType_ = 0;
    std::vector<Frame> frames_;
    std::string error_;
};

}  // namespace tarnwick

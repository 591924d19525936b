// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a pcapng stream block by block as its bytes arrive, in either byte order. Every length and
// offset is checked against the block that holds it before a byte is read.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/source/CaptureStatistics.h"
#include "capture/source/PacketSource.h"
#include "capture/source/RingBlockWalker.h"

namespace tarnwick {

class PcapngReader {
public:
    // Larger blocks are taken for damage: no link carries frames anywhere near this size.
    static constexpr uint32_t kMaxBlockBytes = 16u << 20;

    struct Interface {
        int linkType = 0;  // a DLT_ value: the few LINKTYPE_ values that differ are mapped as libpcap maps them
        uint32_t snapLength = 0;
        std::string name;                             // empty when the block names none
        uint64_t unitsPerSecond = 1000000;            // of the packet times
        int64_t offsetSeconds = 0;                    // added to every packet time
        std::optional<CaptureStatistics> statistics;  // the latest statistics block's figures
    };

    enum class Result { Ok, Damaged };

    // Where and why the stream broke the format.
    struct Damage {
        std::string reason;
        uint64_t packet = 0;  // the number of the packet the damaged block held or came before
        uint64_t offset = 0;  // the stream offset at which the damaged block begins
    };

    PcapngReader();

    // Where the next bytes of the stream go: size is set to the room there (never 0). Commit() says how
    // many were put.
    uint8_t* Room(size_t& size);
    void Commit(size_t count);

    // Takes every complete block in the buffer: packets go to handler (only those of one interface
    // after DeliverOnly) with their interface's link type, TLS key log secrets go to handler in their
    // place among them (and are wiped from the buffer), interfaces and statistics are recorded. Damaged
    // with Error() set when the stream breaks the format; the packets before the damage have been
    // handed over.
    Result Parse(PacketHandler& handler) { return ParseBlocks(&handler); }
    // Takes section headers and interface descriptions only, up to the first other block.
    Result ParseDescriptions() { return ParseBlocks(nullptr); }
    // Packets of other interfaces are skipped from now on.
    void DeliverOnly(uint32_t interface) { onlyInterface_ = interface; }

    // Interfaces of the current section, in the order of their description blocks.
    const std::vector<Interface>& Interfaces() const { return interfaces_; }
    // True once a section header has been taken.
    bool InSection() const { return inSection_; }
    // True when the bytes taken so far end exactly after a block (a stream that stops here is whole).
    bool AtBlockBoundary() const { return start_ == end_; }
    uint64_t PacketsRead() const { return packets_; }
    // The stream offset of the first byte not yet taken: where the next (or an unfinished) block begins.
    uint64_t Offset() const { return offset_; }
    // The damage in a sentence, with its packet and byte offset.
    const std::string& Error() const { return error_; }
    const Damage& Failure() const { return damage_; }

private:
    Result ParseBlocks(PacketHandler* handler);
    uint32_t Word(const uint8_t* at) const;
    uint16_t Half(const uint8_t* at) const;
    uint64_t Double(const uint8_t* at) const;
    bool Fail(const std::string& why);
    bool TakeSectionHeader(const uint8_t* block, uint32_t length);
    bool TakeInterface(const uint8_t* block, uint32_t length);
    bool TakeStatistics(const uint8_t* block, uint32_t length);
    bool TakePacket(const uint8_t* block, uint32_t length, uint32_t type, PacketHandler& handler);
    bool TakeSecrets(uint8_t* block, uint32_t length, PacketHandler& handler);
    // Unpacks a ring block where it lies in the buffer (cooked headers and VLAN tags are written in
    // front of each packet's bytes).
    bool TakeRingBlock(uint8_t* block, uint32_t length, PacketHandler& handler);
    bool SetTime(const Interface& interface, uint64_t units, timeval& time);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_ = 0;
    size_t start_ = 0;     // the first byte not yet taken
    size_t end_ = 0;       // one past the last byte received
    uint64_t offset_ = 0;  // stream offset of start_
    bool swapped_ = false;
    bool inSection_ = false;
    std::vector<Interface> interfaces_;
    std::optional<uint32_t> onlyInterface_;
    uint64_t packets_ = 0;
    std::string error_;
    Damage damage_;
    RingBlockWalker walker_;
};

}  // namespace tarnwick

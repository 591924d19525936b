// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a classic pcap stream record by record as its bytes arrive, in either byte order and with
// micro- or nanosecond times.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "capture/source/PacketSource.h"

namespace tarnwick {

// libpcap reads such files with a stdio read per record header and per record; this reader takes them
// from one buffer filled a megabyte at a time, which makes a replay about a third cheaper. Rarer
// variants (the "modified" format, versions before 2.4) are left to libpcap.
class PcapReader {
public:
    static constexpr uint32_t kFileHeaderBytes = 24;
    static constexpr uint32_t kRecordHeaderBytes = 16;
    // A record claiming more captured bytes is damage, as libpcap takes it.
    static constexpr uint32_t kMaxRecordBytes = 262144;

    enum class Result { Ok, Damaged };

    // Where and why the stream broke the format.
    struct Damage {
        std::string reason;
        uint64_t packet = 0;  // the number of the damaged record
        uint64_t offset = 0;  // the stream offset at which it begins
    };

    // True when the first bytes of a file (at least kTakesBytes) begin one this reader takes.
    static constexpr size_t kTakesBytes = 8;
    static bool Takes(std::span<const uint8_t> first);

    PcapReader();

    // Where the next bytes of the stream go: size is set to the room there (never 0). Commit() says how
    // many were put.
    uint8_t* Room(size_t& size);
    void Commit(size_t count) { end_ += count; }

    // Takes the file header once it is all there, then every complete record: packets go to handler.
    // Damaged with Failure() set when the stream breaks the format; the packets before the damage have
    // been handed over.
    Result Parse(PacketHandler& handler) { return ParseRecords(&handler); }
    // Takes the file header only.
    Result ParseHeader() { return ParseRecords(nullptr); }

    bool HeaderTaken() const { return headerTaken_; }
    int LinkType() const { return linkType_; }  // a DLT_ value
    // True when the bytes taken so far end exactly after a record (a stream that stops here is whole).
    bool AtRecordBoundary() const { return headerTaken_ && start_ == end_; }
    uint64_t PacketsRead() const { return packets_; }
    // The stream offset of the first byte not yet taken.
    uint64_t Offset() const { return offset_; }
    const Damage& Failure() const { return damage_; }

private:
    Result ParseRecords(PacketHandler* handler);
    Result TakeHeader();
    uint32_t Word(const uint8_t* at) const;
    Result Fail(const std::string& why);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t start_ = 0;     // the first byte not yet taken
    size_t end_ = 0;       // one past the last byte received
    uint64_t offset_ = 0;  // stream offset of start_
    bool headerTaken_ = false;
    bool swapped_ = false;
    bool nanoseconds_ = false;
    uint32_t snapshot_ = kMaxRecordBytes;  // longer records are cut to this, as libpcap cuts them
    int linkType_ = DLT_EN10MB;
    uint64_t packets_ = 0;
    Damage damage_;
};

}  // namespace tarnwick

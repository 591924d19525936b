// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a classic pcap stream record by record as its bytes arrive.
#include "capture/source/PcapReader.h"

#include <byteswap.h>

#include <cstring>

#include "capture/source/LinkTypes.h"

namespace tarnwick {

namespace {

// Room for the largest record and its header several times over, so the buffer never grows: what is
// left unread after a parse is less than one record.
constexpr size_t kBufferBytes = 1u << 20;
static_assert(kBufferBytes > 2 * (PcapReader::kRecordHeaderBytes + PcapReader::kMaxRecordBytes));

constexpr uint32_t kMicrosecondMagic = 0xa1b2c3d4;
constexpr uint32_t kNanosecondMagic = 0xa1b23c4d;

}  // namespace

bool PcapReader::Takes(std::span<const uint8_t> first) {
    if (first.size() < kTakesBytes) return false;
    uint32_t magic;
    std::memcpy(&magic, first.data(), 4);
    const bool swapped = magic == bswap_32(kMicrosecondMagic) || magic == bswap_32(kNanosecondMagic);
    if (!swapped && magic != kMicrosecondMagic && magic != kNanosecondMagic) return false;
    uint16_t version[2];
    std::memcpy(version, first.data() + 4, 4);
    if (swapped) version[0] = bswap_16(version[0]), version[1] = bswap_16(version[1]);
    // Version 2.4, and 2.3 which differs from it in nothing; older ones swap the two lengths.
    return version[0] == 2 && (version[1] == 3 || version[1] == 4);
}

PcapReader::PcapReader() : buffer_(new uint8_t[kBufferBytes]) {}

uint32_t PcapReader::Word(const uint8_t* at) const {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return swapped_ ? bswap_32(value) : value;
}

uint8_t* PcapReader::Room(size_t& size) {
    // The unread rest (less than a record) moves to the front once the room behind it runs short.
    if (start_ > 0 && (start_ == end_ || kBufferBytes - end_ < kBufferBytes / 4)) {
        std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    size = kBufferBytes - end_;
    return buffer_.get() + end_;
}

PcapReader::Result PcapReader::Fail(const std::string& why) {
    damage_ = {why, packets_ + 1, offset_};
    return Result::Damaged;
}

PcapReader::Result PcapReader::TakeHeader() {
    const uint8_t* header = buffer_.get() + start_;
    if (!Takes({header, kFileHeaderBytes})) return Fail("not a pcap file of version 2.3 or 2.4");
    uint32_t magic;
    std::memcpy(&magic, header, 4);
    swapped_ = magic == bswap_32(kMicrosecondMagic) || magic == bswap_32(kNanosecondMagic);
    nanoseconds_ = Word(header) == kNanosecondMagic;
    const uint32_t snapshot = Word(header + 16);
    // As libpcap: a snapshot length of 0 or beyond any record means records are never cut.
    snapshot_ = snapshot == 0 || snapshot > kMaxRecordBytes ? kMaxRecordBytes : snapshot;
    // The low 16 bits name the link type; the bits above carry the frame check sequence's length.
    linkType_ = DltOfLinkType(static_cast<uint16_t>(Word(header + 20) & 0xFFFF));
    headerTaken_ = true;
    start_ += kFileHeaderBytes;
    offset_ += kFileHeaderBytes;
    return Result::Ok;
}

PcapReader::Result PcapReader::ParseRecords(PacketHandler* handler) {
    if (!headerTaken_) {
        if (end_ - start_ < kFileHeaderBytes) return Result::Ok;
        if (TakeHeader() == Result::Damaged) return Result::Damaged;
    }
    if (!handler) return Result::Ok;
    while (end_ - start_ >= kRecordHeaderBytes) {
        const uint8_t* record = buffer_.get() + start_;
        const uint32_t captured = Word(record + 8);
        if (captured > kMaxRecordBytes)
            return Fail("record of impossible length " + std::to_string(captured) + " (at most " +
                        std::to_string(kMaxRecordBytes) + ")");
        if (end_ - start_ < kRecordHeaderBytes + captured) break;  // the rest has not arrived yet
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(Word(record));
        const uint32_t fraction = Word(record + 4);
        header.ts.tv_usec = static_cast<suseconds_t>(nanoseconds_ ? fraction / 1000 : fraction);
        header.caplen = captured > snapshot_ ? snapshot_ : captured;
        header.len = Word(record + 12);
        ++packets_;
        handler->HandlePacket(header, record + kRecordHeaderBytes, linkType_);
        start_ += kRecordHeaderBytes + captured;
        offset_ += kRecordHeaderBytes + captured;
    }
    return Result::Ok;
}

}  // namespace tarnwick

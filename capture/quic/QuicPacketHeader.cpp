// SPDX-License-Identifier: GPL-3.0-or-later
// The header of one QUIC packet in a datagram, read before its protection is removed.
#include "capture/quic/QuicPacketHeader.h"

#include "capture/quic/QuicCursor.h"
#include "capture/quic/QuicPacketProtection.h"

namespace tarnwick {

bool QuicPacketHeader::ParseLong(std::span<const uint8_t> bytes, QuicPacketHeader& out) {
    QuicCursor cursor(bytes);
    const uint8_t first = cursor.U8();
    out.longHeader = true;
    out.version = cursor.U32();
    if (!cursor.Ok() || (first & 0x80) == 0 || !QuicVersion::Known(out.version)) return false;
    out.type = QuicVersion::TypeOf(out.version, first);
    const uint8_t destinationLength = cursor.U8();
    if (destinationLength > kMaxConnectionIdLength) return false;
    out.destinationId = cursor.Bytes(destinationLength);
    const uint8_t sourceLength = cursor.U8();
    if (sourceLength > kMaxConnectionIdLength) return false;
    out.sourceId = cursor.Bytes(sourceLength);
    if (out.type == QuicPacketType::Retry) {
        out.packetNumberOffset = 0;
        out.packetLength = bytes.size();
        return cursor.Ok();
    }
    if (out.type == QuicPacketType::Initial) cursor.Bytes(cursor.VarInt());  // the token
    const uint64_t length = cursor.VarInt();
    if (!cursor.Ok() || length > cursor.Remaining()) return false;
    out.packetNumberOffset = cursor.Position();
    out.packetLength = cursor.Position() + static_cast<size_t>(length);
    return true;
}

bool QuicPacketHeader::ParseShort(std::span<const uint8_t> bytes, size_t destinationIdLength, QuicPacketHeader& out) {
    if (bytes.empty() || (bytes[0] & 0x80) != 0 || destinationIdLength > kMaxConnectionIdLength ||
        bytes.size() < 1 + destinationIdLength)
        return false;
    out.longHeader = false;
    out.version = 0;
    out.destinationId = bytes.subspan(1, destinationIdLength);
    out.sourceId = {};
    out.packetNumberOffset = 1 + destinationIdLength;
    out.packetLength = bytes.size();
    return true;
}

uint64_t QuicPacketHeader::DecodePacketNumber(std::optional<uint64_t> largest, uint64_t truncated, size_t length) {
    const uint64_t expected = largest ? *largest + 1 : 0;
    const uint64_t window = uint64_t{1} << (8 * length);
    const uint64_t halfWindow = window / 2;
    const uint64_t candidate = (expected & ~(window - 1)) | truncated;
    constexpr uint64_t kLimit = uint64_t{1} << 62;
    if (candidate + halfWindow <= expected && candidate < kLimit - window) return candidate + window;
    if (candidate > expected + halfWindow && candidate >= window) return candidate - window;
    return candidate;
}

bool RemoveHeaderProtection(std::span<uint8_t> packet, const QuicPacketHeader& header, QuicPacketProtection& protection,
                            QuicUnprotectedHeader& out) {
    // The sample starts four bytes past the packet number's start, whatever its length.
    const size_t sampleAt = header.packetNumberOffset + 4;
    if (packet.size() != header.packetLength || sampleAt > header.packetLength ||
        header.packetLength - sampleAt < QuicPacketProtection::kSampleSize)
        return false;
    uint8_t mask[QuicPacketProtection::kMaskSize];
    if (!protection.HeaderMask(std::span<const uint8_t, QuicPacketProtection::kSampleSize>(
                                   packet.data() + sampleAt, QuicPacketProtection::kSampleSize),
                               mask))
        return false;
    packet[0] ^= mask[0] & (header.longHeader ? 0x0F : 0x1F);
    out.firstByte = packet[0];
    out.numberLength = static_cast<size_t>(packet[0] & 0x03) + 1;
    out.truncatedNumber = 0;
    for (size_t i = 0; i < out.numberLength; ++i) {
        uint8_t& byte = packet[header.packetNumberOffset + i];
        byte ^= mask[1 + i];
        out.truncatedNumber = out.truncatedNumber << 8 | byte;
    }
    out.headerLength = header.packetNumberOffset + out.numberLength;
    return true;
}

}  // namespace tarnwick

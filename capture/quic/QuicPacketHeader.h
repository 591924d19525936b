// SPDX-License-Identifier: GPL-3.0-or-later
// The header of one QUIC packet in a datagram, read before its protection is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "capture/quic/QuicVersion.h"

namespace tarnwick {

struct QuicPacketHeader {
    static constexpr size_t kMaxConnectionIdLength = 20;

    bool longHeader = false;
    uint32_t version = 0;                           // long headers only
    QuicPacketType type = QuicPacketType::Initial;  // long headers only
    std::span<const uint8_t> destinationId;
    std::span<const uint8_t> sourceId;  // long headers only
    size_t packetNumberOffset = 0;      // where the protected packet number begins, from the packet's start
    size_t packetLength = 0;            // the whole packet; a short header's runs to the datagram's end

    // Whether bytes begin with a long header (of any version).
    static bool IsLong(std::span<const uint8_t> bytes) { return !bytes.empty() && (bytes[0] & 0x80) != 0; }
    // A long header of version 1 or 2 with the packet it announces wholly inside bytes; Retry packets
    // run to the end. False for anything else (other versions, version negotiation, truncated packets).
    static bool ParseLong(std::span<const uint8_t> bytes, QuicPacketHeader& out);
    // A short header whose Destination Connection ID is that long.
    static bool ParseShort(std::span<const uint8_t> bytes, size_t destinationIdLength, QuicPacketHeader& out);

    // The full packet number from its truncated form and the largest number seen so far in its space
    // (nothing seen yet: pass nothing).
    static uint64_t DecodePacketNumber(std::optional<uint64_t> largest, uint64_t truncated, size_t length);
};

// A packet once its header protection is off: where its header ends and what it is numbered.
struct QuicUnprotectedHeader {
    uint8_t firstByte = 0;
    uint64_t truncatedNumber = 0;
    size_t numberLength = 0;
    size_t headerLength = 0;  // the additional data of the AEAD: everything before the payload
    bool KeyPhase() const { return (firstByte & 0x04) != 0; }
};

class QuicPacketProtection;

// Takes the header protection off packet (in place: its first byte and packet number). False when
// the packet is too short for a sample or the cipher fails.
bool RemoveHeaderProtection(std::span<uint8_t> packet, const QuicPacketHeader& header, QuicPacketProtection& protection,
                            QuicUnprotectedHeader& out);

}  // namespace tarnwick

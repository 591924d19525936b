// SPDX-License-Identifier: GPL-3.0-or-later
// The QUIC versions whose packets are read (1 and 2): their long-header packet types, Initial salts and
// key labels.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tarnwick {

enum class QuicPacketType : uint8_t { Initial, ZeroRtt, Handshake, Retry };

struct QuicVersion {
    static constexpr uint32_t kVersion1 = 0x00000001;
    static constexpr uint32_t kVersion2 = 0x6b3343cf;

    static bool Known(uint32_t version) { return version == kVersion1 || version == kVersion2; }

    // The type a long header's two type bits name; version 2 numbers them differently.
    static QuicPacketType TypeOf(uint32_t version, uint8_t firstByte) {
        const uint8_t bits = (firstByte >> 4) & 0x03;
        if (version == kVersion2) {
            constexpr QuicPacketType kTypes[] = {QuicPacketType::Retry, QuicPacketType::Initial,
                                                 QuicPacketType::ZeroRtt, QuicPacketType::Handshake};
            return kTypes[bits];
        }
        constexpr QuicPacketType kTypes[] = {QuicPacketType::Initial, QuicPacketType::ZeroRtt,
                                             QuicPacketType::Handshake, QuicPacketType::Retry};
        return kTypes[bits];
    }

    // What the Initial secrets are extracted with, together with the client's first Destination
    // Connection ID.
    static std::span<const uint8_t> InitialSalt(uint32_t version) {
        static constexpr uint8_t kSalt1[] = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
                                             0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
        static constexpr uint8_t kSalt2[] = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
                                             0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
        return version == kVersion2 ? std::span<const uint8_t>(kSalt2) : std::span<const uint8_t>(kSalt1);
    }

    struct Labels {
        std::string_view key, iv, headerProtection, keyUpdate;
    };
    static Labels LabelsOf(uint32_t version) {
        if (version == kVersion2) return {"quicv2 key", "quicv2 iv", "quicv2 hp", "quicv2 ku"};
        return {"quic key", "quic iv", "quic hp", "quic ku"};
    }
};

}  // namespace tarnwick

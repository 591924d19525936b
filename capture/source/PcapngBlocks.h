// SPDX-License-Identifier: GPL-3.0-or-later
// Block types and option codes of the pcapng format that the capture helper writes and Tarnwick reads.
#pragma once

#include <cstdint>

namespace tarnwick::pcapng {

inline constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr uint32_t kInterfaceDescription = 1;
inline constexpr uint32_t kObsoletePacket = 2;
inline constexpr uint32_t kSimplePacket = 3;
inline constexpr uint32_t kInterfaceStatistics = 5;
inline constexpr uint32_t kEnhancedPacket = 6;
// Secrets for the packets after the block: secrets type, secrets length, the secrets, options.
inline constexpr uint32_t kDecryptionSecrets = 0x0000000A;
inline constexpr uint32_t kDecryptionSecretsFixedBytes = 8;
// Secrets type: lines of an NSS key log ("TLSK").
inline constexpr uint32_t kTlsKeyLogSecrets = 0x544C534B;

// Local use (the most significant bit set; other readers skip it): a whole block of the kernel's
// capture ring as the capture helper took it, for Tarnwick to unpack. Interface, the loopback adapter's
// index, then the ring block's bytes, in the writer's byte order.
inline constexpr uint32_t kRingBlock = 0x80547772;
inline constexpr uint32_t kRingBlockFixedBytes = 8;

inline constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

inline constexpr uint16_t kEndOfOptions = 0;
inline constexpr uint16_t kSectionUserApplication = 4;
inline constexpr uint16_t kInterfaceName = 2;
inline constexpr uint16_t kInterfaceTimeResolution = 9;
inline constexpr uint16_t kInterfaceTimeOffset = 14;
inline constexpr uint16_t kStatisticsInterfaceDropped = 5;
inline constexpr uint16_t kStatisticsFilterAccepted = 6;
inline constexpr uint16_t kStatisticsSystemDropped = 7;
inline constexpr uint16_t kStatisticsInterfaceReceived = 4;

// Type, length, trailing length.
inline constexpr uint32_t kBlockFrameBytes = 12;
// Interface, time (two words), captured and original length.
inline constexpr uint32_t kEnhancedPacketFixedBytes = 20;

}  // namespace tarnwick::pcapng

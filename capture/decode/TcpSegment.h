// SPDX-License-Identifier: GPL-3.0-or-later
// The TCP segment (or UDP datagram) found in one captured frame: IP version, both addresses, the TCP
// header's fields and where the payload lies in the frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/source/IpAddress.h"

namespace tarnwick {

// Which way a frame went, when the link layer says so (Linux cooked captures record it); otherwise the
// own addresses decide. A loopback frame was both sent and received by this host, often between two
// equal addresses: only its content tells a request from an answer.
enum class PacketDirection : uint8_t { Unknown, Incoming, Outgoing, Loopback };

// Filled by FrameDecoder. The addresses and the header fields that not every frame needs are read from
// the frame on demand, so the per-frame decode stays short; the pointers are valid as long as the frame.
struct TcpSegment {
    // TCP flag bits as they stand in the header.
    static constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;
    // IP protocol numbers of the transports that are read.
    static constexpr uint8_t kTcp = 6, kUdp = 17;

    const uint8_t* sourceAddressBytes = nullptr;       // 4 (IPv4) or 16 (IPv6) bytes in the frame
    const uint8_t* destinationAddressBytes = nullptr;  // the same
    uint16_t sourcePort = 0;                           // as it stands in the packet
    uint16_t destinationPort = 0;                      // as it stands in the packet
    uint8_t ipVersion = 0;                             // 4 or 6
    uint8_t protocol = kTcp;                           // kTcp, or kUdp (then there is no TCP header)
    PacketDirection direction = PacketDirection::Unknown;
    size_t payloadStart = 0;   // offset of the first payload byte in the frame
    size_t payloadLength = 0;  // captured payload bytes within the IP packet (no link padding); may be 0
    // The payload's length on the wire as the IP header gives it; more than payloadLength when the frame
    // was cut short by the capture's snapshot length (the rest was sent, but not captured).
    size_t payloadWireLength = 0;
    // The whole TCP header inside the frame (checked to be captured); null for UDP.
    const uint8_t* tcpHeader = nullptr;

    IpAddress SourceAddress() const { return AddressAt(sourceAddressBytes); }
    IpAddress DestinationAddress() const { return AddressAt(destinationAddressBytes); }
    size_t AddressLength() const { return ipVersion == 6 ? 16 : 4; }

    uint32_t SequenceNumber() const { return BigEndian32(tcpHeader + 4); }
    uint32_t AcknowledgementNumber() const { return BigEndian32(tcpHeader + 8); }
    uint8_t Flags() const { return tcpHeader[13]; }

private:
    IpAddress AddressAt(const uint8_t* bytes) const {
        return ipVersion == 6 ? IpAddress::FromIpv6Bytes(bytes) : IpAddress::FromIpv4Bytes(bytes);
    }
    static uint32_t BigEndian32(const uint8_t* bytes) {
        return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    }
};

}  // namespace tarnwick

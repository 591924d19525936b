// SPDX-License-Identifier: GPL-3.0-or-later
// Finds the IP header behind the link layer of a captured frame and the TCP segment (or UDP datagram)
// inside it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "capture/decode/PacketView.h"
#include "capture/decode/TcpSegment.h"

namespace tarnwick {

// One decoder per capture handle, chosen by the handle's link type. Every read is bounds-checked: a
// frame too short for the headers it claims, or holding anything but IPv4/IPv6 carrying TCP, is passed
// over, never misread.
class FrameDecoder {
public:
    // How the IP header is found: behind an Ethernet header (and its VLAN tags), a Linux cooked header,
    // a BSD loopback family word, or at the frame's start.
    enum class Link : uint8_t { Ethernet, LinuxCooked, LinuxCooked2, RawIp, Ipv4Only, Ipv6Only, BsdNull, BsdLoop };

    // Ethernet II, the link type of most adapters.
    FrameDecoder() = default;
    // Nothing when frames of this link type (a DLT_ value of libpcap) cannot be read.
    static std::optional<FrameDecoder> ForLinkType(int linkType);
    // The link type's name and description as libpcap knows them, e.g. "LINUX_SLL2 (Linux cooked v2)".
    static std::string DescribeLinkType(int linkType);
    // The names of every link type that can be read, for messages.
    static std::string ReadableLinkTypes();

    int LinkType() const { return linkType_; }

    // False (out unspecified) when the frame holds no readable TCP segment. Inline: this runs for
    // every captured frame.
    [[gnu::always_inline]] bool Decode(const PacketView& frame, TcpSegment& out) const {
        return DecodeTransport(frame, out) && out.protocol == TcpSegment::kTcp;
    }
    // The same for a TCP segment or a UDP datagram (out.protocol tells which).
    [[gnu::always_inline]] bool DecodeTransport(const PacketView& frame, TcpSegment& out) const;

    // At most this many IPv6 extension headers are walked before the TCP header.
    static constexpr int kMaxExtensionHeaders = 8;

private:
    FrameDecoder(Link link, int linkType) : link_(link), linkType_(linkType) {}

    static uint16_t BigEndian16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }
    static uint32_t BigEndian32(const uint8_t* bytes) {
        return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
               static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    }
    // The direction from a cooked header's packet type and link address type; false for the outgoing
    // copy of a loopback frame, which also comes in (libpcap itself drops that copy on "any").
    static bool CookedDirection(unsigned packetType, unsigned linkAddressType, TcpSegment& out) {
        constexpr unsigned kOutgoing = 4;        // PACKET_OUTGOING: this host sent the frame
        constexpr unsigned kLoopbackLink = 772;  // ARPHRD_LOOPBACK
        const bool outgoing = packetType == kOutgoing;
        if (linkAddressType == kLoopbackLink) {
            out.direction = PacketDirection::Loopback;
            return !outgoing;
        }
        out.direction = outgoing ? PacketDirection::Outgoing : PacketDirection::Incoming;
        return true;
    }
    // Ethernet type (after any VLAN tags) -> the IP header at headerEnd.
    static bool DecodeEtherType(const PacketView& frame, uint16_t type, size_t headerEnd, TcpSegment& out);
    // The IP version nibble of the first byte picks the header.
    static bool DecodeAnyIp(const PacketView& frame, size_t ipStart, TcpSegment& out);
    static bool DecodeIpv4(const PacketView& frame, size_t ipStart, TcpSegment& out);
    // The same with the fixed 20 header bytes already copied out.
    [[gnu::always_inline]] static bool DecodeIpv4Header(const PacketView& frame, const uint8_t* ip, size_t ipStart,
                                                        TcpSegment& out);
    static bool DecodeIpv6(const PacketView& frame, size_t ipStart, TcpSegment& out);
    // ipEnd: where the captured part of the IP packet ends; wireEnd: where the whole packet ends.
    [[gnu::always_inline]] static bool DecodeTcp(const PacketView& frame, size_t tcpStart, size_t ipEnd, size_t wireEnd,
                                                 TcpSegment& out);
    static bool DecodeUdp(const PacketView& frame, size_t udpStart, size_t ipEnd, size_t wireEnd, TcpSegment& out);
    // BSD loopback address family values of IPv4 and IPv6 (which differ between the BSDs).
    static int FamilyVersion(uint32_t family) {
        if (family == 2) return 4;
        if (family == 24 || family == 28 || family == 30) return 6;
        return 0;
    }

    Link link_ = Link::Ethernet;
    int linkType_ = 1;  // DLT_EN10MB
};

inline bool FrameDecoder::DecodeTransport(const PacketView& frame, TcpSegment& out) const {
    out.direction = PacketDirection::Unknown;
    if (link_ == Link::Ethernet) {
        // Untagged IPv4 on Ethernet, by far the most frequent frame, before any dispatch: both fixed
        // headers are copied with one check.
        uint8_t head[14 + 20];
        if (frame.Copy(0, sizeof head, head) && head[12] == 0x08 && head[13] == 0x00)
            return DecodeIpv4Header(frame, head + 14, 14, out);
    }
    switch (link_) {
        case Link::Ethernet: {
            uint8_t type[2];
            if (!frame.Copy(12, 2, type)) return false;
            return DecodeEtherType(frame, BigEndian16(type), 14, out);
        }
        case Link::LinuxCooked: {
            // Packet type, link address type, address length, 8 address bytes, protocol.
            uint8_t header[16];
            if (!frame.Copy(0, sizeof header, header)) return false;
            return CookedDirection(BigEndian16(header), BigEndian16(header + 2), out) &&
                   DecodeEtherType(frame, BigEndian16(header + 14), sizeof header, out);
        }
        case Link::LinuxCooked2: {
            // Protocol, reserved, interface index, link address type, packet type, address length, 8 address bytes.
            uint8_t header[20];
            if (!frame.Copy(0, sizeof header, header)) return false;
            return CookedDirection(header[10], BigEndian16(header + 8), out) &&
                   DecodeEtherType(frame, BigEndian16(header), sizeof header, out);
        }
        case Link::RawIp:
            return DecodeAnyIp(frame, 0, out);
        case Link::Ipv4Only:
            return DecodeIpv4(frame, 0, out);
        case Link::Ipv6Only:
            return DecodeIpv6(frame, 0, out);
        case Link::BsdNull:
        case Link::BsdLoop: {
            // The address family in four bytes: network byte order for LOOP, the capturing host's for NULL.
            uint8_t family[4];
            if (!frame.Copy(0, sizeof family, family)) return false;
            int version = FamilyVersion(BigEndian32(family));
            if (version == 0 && link_ == Link::BsdNull)
                version =
                    FamilyVersion(static_cast<uint32_t>(family[3]) << 24 | static_cast<uint32_t>(family[2]) << 16 |
                                  static_cast<uint32_t>(family[1]) << 8 | family[0]);
            if (version == 4) return DecodeIpv4(frame, sizeof family, out);
            if (version == 6) return DecodeIpv6(frame, sizeof family, out);
            return false;
        }
    }
    return false;
}

inline bool FrameDecoder::DecodeEtherType(const PacketView& frame, uint16_t type, size_t headerEnd, TcpSegment& out) {
    constexpr uint16_t kIpv4 = 0x0800, kIpv6 = 0x86DD;
    if (type == kIpv4) return DecodeIpv4(frame, headerEnd, out);
    // Any number of 802.1Q / 802.1ad tags (and the older 0x9100 outer tag): tag control, then the next type.
    // Each tag moves on by four bytes, so the frame's end bounds the walk.
    while (type == 0x8100 || type == 0x88A8 || type == 0x9100) {
        uint8_t tag[4];
        if (!frame.Copy(headerEnd, sizeof tag, tag)) return false;
        type = BigEndian16(tag + 2);
        headerEnd += sizeof tag;
    }
    if (type == kIpv4) return DecodeIpv4(frame, headerEnd, out);
    if (type == kIpv6) return DecodeIpv6(frame, headerEnd, out);
    return false;
}

inline bool FrameDecoder::DecodeAnyIp(const PacketView& frame, size_t ipStart, TcpSegment& out) {
    const auto first = frame.ByteAt(ipStart);
    if (!first) return false;
    if ((*first >> 4) == 4) return DecodeIpv4(frame, ipStart, out);
    if ((*first >> 4) == 6) return DecodeIpv6(frame, ipStart, out);
    return false;
}

inline bool FrameDecoder::DecodeIpv4(const PacketView& frame, size_t ipStart, TcpSegment& out) {
    uint8_t ip[20];
    return frame.Copy(ipStart, sizeof ip, ip) && DecodeIpv4Header(frame, ip, ipStart, out);
}

inline bool FrameDecoder::DecodeIpv4Header(const PacketView& frame, const uint8_t* ip, size_t ipStart,
                                           TcpSegment& out) {
    constexpr size_t kMinimumHeaderLength = 20;
    if ((ip[0] >> 4) != 4 || (ip[9] != TcpSegment::kTcp && ip[9] != TcpSegment::kUdp)) return false;
    const size_t headerLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
    if (headerLength < kMinimumHeaderLength) return false;
    // A fragment other than the first holds no TCP header: what stands there is data.
    if ((BigEndian16(ip + 6) & 0x1FFF) != 0) return false;
    // The total length leaves out the link layer's padding; 0 (a segmentation offload's large packet)
    // means the packet runs to the end of the frame. A length too short for the headers fails below.
    const size_t totalLength = BigEndian16(ip + 2);
    const size_t claimedEnd = totalLength != 0 ? ipStart + totalLength : SIZE_MAX;
    const size_t ipEnd = std::min(frame.Size(), claimedEnd);
    // The fixed header was copied out of the frame, so its addresses are there too.
    out.sourceAddressBytes = frame.Pointer(ipStart + 12);
    out.destinationAddressBytes = frame.Pointer(ipStart + 16);
    out.ipVersion = 4;
    if (ip[9] == TcpSegment::kUdp)
        return DecodeUdp(frame, ipStart + headerLength, ipEnd, claimedEnd == SIZE_MAX ? ipEnd : claimedEnd, out);
    return DecodeTcp(frame, ipStart + headerLength, ipEnd, claimedEnd == SIZE_MAX ? ipEnd : claimedEnd, out);
}

inline bool FrameDecoder::DecodeIpv6(const PacketView& frame, size_t ipStart, TcpSegment& out) {
    constexpr uint8_t kTcp = TcpSegment::kTcp, kUdp = TcpSegment::kUdp, kHopByHop = 0, kRouting = 43,
                      kDestinationOptions = 60;
    constexpr size_t kFixedHeaderLength = 40;
    uint8_t ip[kFixedHeaderLength];
    if (!frame.Copy(ipStart, sizeof ip, ip)) return false;
    if ((ip[0] >> 4) != 6) return false;
    uint8_t next = ip[6];
    size_t offset = ipStart + kFixedHeaderLength;
    // Options headers are stepped over; a fragment header (or anything else) ends the walk unread.
    for (int walked = 0; next != kTcp && next != kUdp; ++walked) {
        if (walked == kMaxExtensionHeaders || (next != kHopByHop && next != kRouting && next != kDestinationOptions))
            return false;
        uint8_t extension[2];  // next header, length in 8-byte units beyond the first 8
        if (!frame.Copy(offset, sizeof extension, extension)) return false;
        next = extension[0];
        offset += (static_cast<size_t>(extension[1]) + 1) * 8;
    }
    // A payload length of 0 (a jumbogram, or a segmentation offload's large packet) runs to the frame's end.
    const size_t payloadLength = BigEndian16(ip + 4);
    const size_t claimedEnd = payloadLength == 0 ? frame.Size() : ipStart + kFixedHeaderLength + payloadLength;
    const size_t ipEnd = std::min(frame.Size(), claimedEnd);
    out.sourceAddressBytes = frame.Pointer(ipStart + 8);
    out.destinationAddressBytes = frame.Pointer(ipStart + 24);
    out.ipVersion = 6;
    if (next == kUdp) return DecodeUdp(frame, offset, ipEnd, claimedEnd, out);
    return DecodeTcp(frame, offset, ipEnd, claimedEnd, out);
}

inline bool FrameDecoder::DecodeTcp(const PacketView& frame, size_t tcpStart, size_t ipEnd, size_t wireEnd,
                                    TcpSegment& out) {
    constexpr size_t kMinimumHeaderLength = 20;
    if (!frame.Has(tcpStart, kMinimumHeaderLength)) return false;
    const size_t headerLength = static_cast<size_t>(frame.Pointer(tcpStart)[12] >> 4) * 4;
    if (headerLength < kMinimumHeaderLength) return false;
    const size_t payloadStart = tcpStart + headerLength;
    // The whole header must be captured and lie inside the IP packet.
    if (payloadStart > ipEnd) return false;
    out.protocol = TcpSegment::kTcp;
    out.tcpHeader = frame.Pointer(tcpStart);
    // Ports kept in packet byte order: they are only compared, never interpreted.
    std::memcpy(&out.sourcePort, out.tcpHeader, 2);
    std::memcpy(&out.destinationPort, out.tcpHeader + 2, 2);
    out.payloadStart = payloadStart;
    out.payloadLength = ipEnd - payloadStart;
    out.payloadWireLength = wireEnd > ipEnd ? wireEnd - payloadStart : out.payloadLength;
    return true;
}

inline bool FrameDecoder::DecodeUdp(const PacketView& frame, size_t udpStart, size_t ipEnd, size_t wireEnd,
                                    TcpSegment& out) {
    constexpr size_t kHeaderLength = 8;
    if (!frame.Has(udpStart, kHeaderLength) || udpStart + kHeaderLength > ipEnd) return false;
    out.protocol = TcpSegment::kUdp;
    out.tcpHeader = nullptr;
    std::memcpy(&out.sourcePort, frame.Pointer(udpStart), 2);
    std::memcpy(&out.destinationPort, frame.Pointer(udpStart + 2), 2);
    out.payloadStart = udpStart + kHeaderLength;
    out.payloadLength = ipEnd - out.payloadStart;
    out.payloadWireLength = wireEnd > ipEnd ? wireEnd - out.payloadStart : out.payloadLength;
    return true;
}

}  // namespace tarnwick

// The addresses, ports and payload bounds of one Ethernet II / IPv4 / TCP frame.
#pragma once

#include <cstddef>
#include <cstring>

#include "capture/decode/Ipv4Address.h"
#include "capture/decode/PacketView.h"

namespace tarnwick {

struct TcpFrame {
    Ipv4Address sourceAddress{};
    Ipv4Address destinationAddress{};
    uint16_t sourcePort = 0;       // as it stands in the packet
    uint16_t destinationPort = 0;  // as it stands in the packet
    size_t payloadStart = 0;       // offset of the first payload byte in the frame
    size_t payloadLength = 0;      // captured payload bytes; may be 0

    // False (out unspecified) when the frame is not Ethernet II carrying IPv4 and TCP, or is too short
    // for the headers it claims.
    static bool Parse(const PacketView& frame, TcpFrame& out);
};

// Inline and filling the caller's object field by field: this runs for every captured frame, and
// handing a finished copy back through memory cost more than the parse itself.
inline bool TcpFrame::Parse(const PacketView& frame, TcpFrame& out) {
    constexpr size_t kEthernetHeaderLength = 14;
    constexpr size_t kMinimumIpHeaderLength = 20;
    constexpr size_t kMinimumTcpHeaderLength = 20;
    constexpr uint8_t kIpProtocolTcp = 6;

    // The fixed parts of both headers are copied out with one check each.
    uint8_t link[kEthernetHeaderLength + kMinimumIpHeaderLength];
    if (!frame.Copy(0, sizeof link, link)) return false;
    const uint8_t* ip = link + kEthernetHeaderLength;
    // Ethernet type 0x0800 is IPv4; the IP version must say so too.
    if (link[12] != 0x08 || link[13] != 0x00 || (ip[0] >> 4) != 4 || ip[9] != kIpProtocolTcp) return false;
    const size_t ipHeaderLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
    if (ipHeaderLength < kMinimumIpHeaderLength) return false;

    const size_t tcpStart = kEthernetHeaderLength + ipHeaderLength;
    uint8_t tcp[kMinimumTcpHeaderLength];
    if (!frame.Copy(tcpStart, sizeof tcp, tcp)) return false;
    const size_t tcpHeaderLength = static_cast<size_t>(tcp[12] >> 4) * 4;
    if (tcpHeaderLength < kMinimumTcpHeaderLength || !frame.Has(tcpStart, tcpHeaderLength)) return false;

    std::memcpy(out.sourceAddress.data(), ip + 12, 4);
    std::memcpy(out.destinationAddress.data(), ip + 16, 4);
    // Kept in packet byte order: ports are only compared, never interpreted.
    std::memcpy(&out.sourcePort, tcp, 2);
    std::memcpy(&out.destinationPort, tcp + 2, 2);
    out.payloadStart = tcpStart + tcpHeaderLength;
    out.payloadLength = frame.Size() - out.payloadStart;
    return true;
}

}  // namespace tarnwick

// The addresses, ports and payload bounds of one Ethernet II / IPv4 / TCP frame.
#include "capture/TcpFrame.h"

#include <cstring>

namespace tarnwick {

namespace {
constexpr size_t kEthernetHeaderLength = 14;
constexpr size_t kMinimumIpHeaderLength = 20;
constexpr size_t kMinimumTcpHeaderLength = 20;
constexpr uint8_t kIpProtocolTcp = 6;
}  // namespace

std::optional<TcpFrame> TcpFrame::Parse(const PacketView& frame) {
    // The fixed parts of both headers are copied out with one check each.
    uint8_t link[kEthernetHeaderLength + kMinimumIpHeaderLength];
    if (!frame.Copy(0, sizeof link, link)) return std::nullopt;
    const uint8_t* ip = link + kEthernetHeaderLength;
    // Ethernet type 0x0800 is IPv4; the IP version must say so too.
    if (link[12] != 0x08 || link[13] != 0x00 || (ip[0] >> 4) != 4 || ip[9] != kIpProtocolTcp) return std::nullopt;
    const size_t ipHeaderLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
    if (ipHeaderLength < kMinimumIpHeaderLength) return std::nullopt;

    const size_t tcpStart = kEthernetHeaderLength + ipHeaderLength;
    uint8_t tcp[kMinimumTcpHeaderLength];
    if (!frame.Copy(tcpStart, sizeof tcp, tcp)) return std::nullopt;
    const size_t tcpHeaderLength = static_cast<size_t>(tcp[12] >> 4) * 4;
    if (tcpHeaderLength < kMinimumTcpHeaderLength || !frame.Has(tcpStart, tcpHeaderLength)) return std::nullopt;

    TcpFrame result;
    std::memcpy(result.sourceAddress.data(), ip + 12, 4);
    std::memcpy(result.destinationAddress.data(), ip + 16, 4);
    // Kept in packet byte order: ports are only compared, never interpreted.
    std::memcpy(&result.sourcePort, tcp, 2);
    std::memcpy(&result.destinationPort, tcp + 2, 2);
    result.payloadStart = tcpStart + tcpHeaderLength;
    result.payloadLength = frame.Size() - result.payloadStart;
    return result;
}

}  // namespace tarnwick

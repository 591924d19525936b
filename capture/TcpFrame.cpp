// The addresses, ports and payload bounds of one Ethernet II / IPv4 / TCP frame.
#include "capture/TcpFrame.h"

namespace tarnwick {

namespace {
constexpr size_t kEthernetHeaderLength = 14;
constexpr size_t kMinimumIpHeaderLength = 20;
constexpr size_t kMinimumTcpHeaderLength = 20;
constexpr uint8_t kIpProtocolTcp = 6;
}  // namespace

std::optional<TcpFrame> TcpFrame::Parse(const PacketView& frame) {
    // Ethernet type 0x0800 is IPv4.
    if (frame.ByteAt(12) != 0x08 || frame.ByteAt(13) != 0x00) return std::nullopt;
    const auto versionAndLength = frame.ByteAt(kEthernetHeaderLength);
    if (!versionAndLength || (*versionAndLength >> 4) != 4) return std::nullopt;
    const size_t ipHeaderLength = static_cast<size_t>(*versionAndLength & 0x0F) * 4;
    if (ipHeaderLength < kMinimumIpHeaderLength) return std::nullopt;
    if (!frame.Has(kEthernetHeaderLength, ipHeaderLength)) return std::nullopt;
    if (frame.ByteAt(kEthernetHeaderLength + 9) != kIpProtocolTcp) return std::nullopt;

    TcpFrame result;
    frame.Copy(kEthernetHeaderLength + 12, 4, result.sourceAddress.data());
    frame.Copy(kEthernetHeaderLength + 16, 4, result.destinationAddress.data());

    const size_t tcpStart = kEthernetHeaderLength + ipHeaderLength;
    if (!frame.Has(tcpStart, kMinimumTcpHeaderLength)) return std::nullopt;
    uint8_t ports[4];
    frame.Copy(tcpStart, 4, ports);
    // Kept in packet byte order: ports are only compared, never interpreted.
    result.sourcePort = static_cast<uint16_t>(ports[0] | (ports[1] << 8));
    result.destinationPort = static_cast<uint16_t>(ports[2] | (ports[3] << 8));
    const size_t tcpHeaderLength = static_cast<size_t>(*frame.ByteAt(tcpStart + 12) >> 4) * 4;
    if (tcpHeaderLength < kMinimumTcpHeaderLength || !frame.Has(tcpStart, tcpHeaderLength)) return std::nullopt;

    result.payloadStart = tcpStart + tcpHeaderLength;
    result.payloadLength = frame.Size() - result.payloadStart;
    return result;
}

}  // namespace tarnwick

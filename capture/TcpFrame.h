// The addresses, ports and payload bounds of one Ethernet II / IPv4 / TCP frame.
#pragma once

#include <cstddef>
#include <optional>

#include "capture/PacketView.h"
#include "capture/PendingRequest.h"

namespace tarnwick {

struct TcpFrame {
    Ipv4Address sourceAddress{};
    Ipv4Address destinationAddress{};
    uint16_t sourcePort = 0;       // as it stands in the packet
    uint16_t destinationPort = 0;  // as it stands in the packet
    size_t payloadStart = 0;       // offset of the first payload byte in the frame
    size_t payloadLength = 0;      // captured payload bytes; may be 0

    // Nothing when the frame is not Ethernet II carrying IPv4 and TCP, or is too short for the
    // headers it claims.
    static std::optional<TcpFrame> Parse(const PacketView& frame);
};

}  // namespace tarnwick

// The reassembly's view of a decoded TCP segment: its ends, sequence numbers, flags and payload.
#pragma once

#include <cstdint>
#include <span>

#include "capture/decode/IpAddress.h"
#include "capture/decode/TcpSegment.h"
#include "capture/stream/StreamSegment.h"

namespace tarnwick {

inline FlowEndpoint EndpointOf(const IpAddress& address, uint16_t port) {
    return address.IsIpv4() ? FlowEndpoint::FromBytes(address.Ipv4Bytes(), 4, port)
                            : FlowEndpoint::FromBytes(address.Bytes().data(), 16, port);
}

// Fills out from a segment FrameDecoder found; payload is the segment's payload in the frame.
inline void SegmentOfFrame(const TcpSegment& tcp, std::span<const uint8_t> payload, StreamSegment& out) {
    out.source = EndpointOf(tcp.sourceAddress, tcp.sourcePort);
    out.destination = EndpointOf(tcp.destinationAddress, tcp.destinationPort);
    out.sequence = tcp.SequenceNumber();
    out.acknowledgement = tcp.AcknowledgementNumber();
    out.flags = tcp.Flags();
    out.payload = payload.data();
    out.payloadLength = payload.size();
}

}  // namespace tarnwick

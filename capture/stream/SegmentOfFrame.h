// SPDX-License-Identifier: GPL-3.0-or-later
// The reassembly's view of a decoded TCP segment: its ends, sequence numbers, flags and payload.
#pragma once

#include <cstdint>
#include <span>

#include "capture/decode/TcpSegment.h"
#include "capture/stream/StreamSegment.h"

namespace tarnwick {

// Fills out from a segment FrameDecoder found; payload is the segment's captured payload in the frame.
inline void SegmentOfFrame(const TcpSegment& tcp, std::span<const uint8_t> payload, StreamSegment& out) {
    const auto length = static_cast<uint8_t>(tcp.AddressLength());
    out.source = FlowEndpoint::FromBytes(tcp.sourceAddressBytes, length, tcp.sourcePort);
    out.destination = FlowEndpoint::FromBytes(tcp.destinationAddressBytes, length, tcp.destinationPort);
    out.sequence = tcp.SequenceNumber();
    out.acknowledgement = tcp.AcknowledgementNumber();
    out.flags = tcp.Flags();
    out.linkDirection = tcp.direction;
    out.payload = payload.data();
    out.payloadLength = payload.size();
    out.wireLength = tcp.payloadWireLength > payload.size() ? tcp.payloadWireLength : payload.size();
}

}  // namespace tarnwick

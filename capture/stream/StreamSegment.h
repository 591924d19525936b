// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of one TCP segment that reassembly needs, pointing into the captured frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/decode/TcpSegment.h"
#include "capture/stream/FlowKey.h"

namespace tarnwick {

struct StreamSegment {
    static constexpr uint8_t kFin = 0x01;
    static constexpr uint8_t kSyn = 0x02;
    static constexpr uint8_t kRst = 0x04;
    static constexpr uint8_t kAck = 0x10;

    FlowEndpoint source;
    FlowEndpoint destination;
    uint32_t sequence = 0;         // host byte order
    uint32_t acknowledgement = 0;  // host byte order; meaningful with kAck
    uint8_t flags = 0;
    PacketDirection linkDirection = PacketDirection::Unknown;  // as the link layer recorded it
    const uint8_t* payload = nullptr;                          // captured payload bytes; valid while the frame is
    size_t payloadLength = 0;                                  // captured
    size_t wireLength = 0;  // sent: more than payloadLength when the capture cut the frame short

    bool Has(uint8_t flag) const { return (flags & flag) != 0; }
};

}  // namespace tarnwick

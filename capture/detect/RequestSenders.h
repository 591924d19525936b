// Learns a capture file's own addresses: the sender of the first request of each IP version.
#pragma once

#include "capture/decode/PacketView.h"
#include "capture/decode/TcpSegment.h"
#include "capture/detect/OwnAddresses.h"

namespace tarnwick {

class RequestSenders {
public:
    // Looks at one decoded segment: the first payload of each IP version that begins with "GET " names
    // an own address (its sender), and true is returned for it. A segment the link layer marks as
    // incoming names none.
    bool Observe(const PacketView& frame, const TcpSegment& segment) {
        bool& known = segment.ipVersion == 4 ? ipv4Known_ : ipv6Known_;
        if (known || segment.direction == PacketDirection::Incoming) return false;
        if (segment.payloadLength < 4 || !frame.StartsWith(segment.payloadStart, "GET ")) return false;
        known = true;
        found_.Add(segment.SourceAddress());
        return true;
    }
    // True once a request of this IP version has named its sender.
    bool Knows(int ipVersion) const { return ipVersion == 4 ? ipv4Known_ : ipv6Known_; }
    // True once both versions have named their sender.
    bool Complete() const { return ipv4Known_ && ipv6Known_; }
    const OwnAddresses& Found() const { return found_; }

private:
    bool ipv4Known_ = false;
    bool ipv6Known_ = false;
    OwnAddresses found_;
};

}  // namespace tarnwick

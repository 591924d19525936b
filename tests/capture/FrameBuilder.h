// Builds Ethernet II / IPv4 / TCP frames around a payload, for feeding the detector in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/detect/PendingRequest.h"

namespace tarnwick::testing {

struct Endpoint {
    Ipv4Address address;
    uint16_t port;
};

inline std::vector<uint8_t> BuildFrame(Endpoint from, Endpoint to, const std::string& payload,
                                       uint8_t ipHeaderWords = 5, uint8_t tcpHeaderWords = 5) {
    std::vector<uint8_t> frame(14, 0);
    frame[12] = 0x08;  // IPv4
    frame[13] = 0x00;
    const size_t ipLength = ipHeaderWords * 4u;
    const size_t tcpLength = tcpHeaderWords * 4u;
    std::vector<uint8_t> ip(ipLength, 0);
    ip[0] = static_cast<uint8_t>(0x40 | ipHeaderWords);
    const size_t total = ipLength + tcpLength + payload.size();
    ip[2] = static_cast<uint8_t>(total >> 8);
    ip[3] = static_cast<uint8_t>(total);
    ip[8] = 64;
    ip[9] = 6;  // TCP
    for (int i = 0; i < 4; ++i) {
        ip[12 + i] = from.address[i];
        ip[16 + i] = to.address[i];
    }
    std::vector<uint8_t> tcp(tcpLength, 0);
    tcp[0] = static_cast<uint8_t>(from.port >> 8);
    tcp[1] = static_cast<uint8_t>(from.port);
    tcp[2] = static_cast<uint8_t>(to.port >> 8);
    tcp[3] = static_cast<uint8_t>(to.port);
    tcp[12] = static_cast<uint8_t>(tcpHeaderWords << 4);
    tcp[13] = 0x18;  // PSH, ACK
    frame.insert(frame.end(), ip.begin(), ip.end());
    frame.insert(frame.end(), tcp.begin(), tcp.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

}  // namespace tarnwick::testing

// Builds IPv4 or IPv6 / TCP packets around a payload, and link layers around them, for feeding the
// detector in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/decode/IpAddress.h"

namespace tarnwick::testing {

struct Endpoint {
    IpAddress address;
    uint16_t port;
};

// An IP packet of the endpoints' family carrying one TCP segment (flags PSH and ACK). ipHeaderWords
// applies to IPv4 only.
inline std::vector<uint8_t> BuildIpPacket(Endpoint from, Endpoint to, const std::string& payload,
                                          uint8_t ipHeaderWords = 5, uint8_t tcpHeaderWords = 5) {
    const size_t tcpLength = tcpHeaderWords * 4u;
    std::vector<uint8_t> tcp(tcpLength, 0);
    tcp[0] = static_cast<uint8_t>(from.port >> 8);
    tcp[1] = static_cast<uint8_t>(from.port);
    tcp[2] = static_cast<uint8_t>(to.port >> 8);
    tcp[3] = static_cast<uint8_t>(to.port);
    tcp[4] = 0x01;  // sequence number 0x01020304
    tcp[5] = 0x02;
    tcp[6] = 0x03;
    tcp[7] = 0x04;
    tcp[12] = static_cast<uint8_t>(tcpHeaderWords << 4);
    tcp[13] = 0x18;  // PSH, ACK
    std::vector<uint8_t> ip;
    if (from.address.IsIpv4()) {
        const size_t ipLength = ipHeaderWords * 4u;
        ip.assign(ipLength, 0);
        ip[0] = static_cast<uint8_t>(0x40 | ipHeaderWords);
        const size_t total = ipLength + tcpLength + payload.size();
        ip[2] = static_cast<uint8_t>(total >> 8);
        ip[3] = static_cast<uint8_t>(total);
        ip[8] = 64;
        ip[9] = 6;  // TCP
        for (int i = 0; i < 4; ++i) {
            ip[12 + i] = from.address.Ipv4Bytes()[i];
            ip[16 + i] = to.address.Ipv4Bytes()[i];
        }
    } else {
        ip.assign(40, 0);
        ip[0] = 0x60;
        const size_t length = tcpLength + payload.size();
        ip[4] = static_cast<uint8_t>(length >> 8);
        ip[5] = static_cast<uint8_t>(length);
        ip[6] = 6;  // TCP
        ip[7] = 64;
        for (int i = 0; i < 16; ++i) {
            ip[8 + i] = from.address.Bytes()[i];
            ip[24 + i] = to.address.Bytes()[i];
        }
    }
    ip.insert(ip.end(), tcp.begin(), tcp.end());
    ip.insert(ip.end(), payload.begin(), payload.end());
    return ip;
}

// An Ethernet II header (with the given VLAN tag types, outermost first) in front of an IP packet.
inline std::vector<uint8_t> WithEthernet(const std::vector<uint8_t>& packet, const std::vector<uint16_t>& tags = {}) {
    std::vector<uint8_t> frame(12, 0);
    for (const uint16_t tag : tags) frame.insert(frame.end(), {uint8_t(tag >> 8), uint8_t(tag), 0x00, 0x0A});
    const uint16_t type = (packet.at(0) >> 4) == 6 ? 0x86DD : 0x0800;
    frame.insert(frame.end(), {uint8_t(type >> 8), uint8_t(type)});
    frame.insert(frame.end(), packet.begin(), packet.end());
    return frame;
}

inline std::vector<uint8_t> BuildFrame(Endpoint from, Endpoint to, const std::string& payload,
                                       uint8_t ipHeaderWords = 5, uint8_t tcpHeaderWords = 5) {
    return WithEthernet(BuildIpPacket(from, to, payload, ipHeaderWords, tcpHeaderWords));
}

}  // namespace tarnwick::testing

// SPDX-License-Identifier: GPL-3.0-or-later
// Builds IPv4 or IPv6 / TCP packets around a payload, and link layers around them, for feeding the
// detector in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/source/IpAddress.h"

namespace tarnwick::testing {

struct Endpoint {
    IpAddress address;
    uint16_t port;
};

// The TCP header's numbers and flags. By default a lone segment: without ACK, each side of its
// connection starts where its first segment does.
struct TcpFields {
    uint32_t sequence = 0x01020304;
    uint32_t acknowledgement = 0;
    uint8_t flags = 0x08;  // PSH
};

// An IP packet of the endpoints' family carrying one TCP segment. ipHeaderWords applies to IPv4 only.
inline std::vector<uint8_t> BuildIpPacket(Endpoint from, Endpoint to, const std::string& payload,
                                          uint8_t ipHeaderWords = 5, uint8_t tcpHeaderWords = 5,
                                          TcpFields fields = {}) {
    const size_t tcpLength = tcpHeaderWords * 4u;
    std::vector<uint8_t> tcp(tcpLength, 0);
    tcp[0] = static_cast<uint8_t>(from.port >> 8);
    tcp[1] = static_cast<uint8_t>(from.port);
    tcp[2] = static_cast<uint8_t>(to.port >> 8);
    tcp[3] = static_cast<uint8_t>(to.port);
    for (int i = 0; i < 4; ++i) {
        tcp[4 + i] = static_cast<uint8_t>(fields.sequence >> (24 - 8 * i));
        tcp[8 + i] = static_cast<uint8_t>(fields.acknowledgement >> (24 - 8 * i));
    }
    tcp[12] = static_cast<uint8_t>(tcpHeaderWords << 4);
    tcp[13] = fields.flags;
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
                                       uint8_t ipHeaderWords = 5, uint8_t tcpHeaderWords = 5, TcpFields fields = {}) {
    return WithEthernet(BuildIpPacket(from, to, payload, ipHeaderWords, tcpHeaderWords, fields));
}

// The frames of one TCP connection, with each side's sequence numbers kept as a real one keeps them.
class Conversation {
public:
    static constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPush = 0x08, kAck = 0x10;

    Conversation(Endpoint client, Endpoint server, uint32_t clientStart = 1000, uint32_t serverStart = 500000)
        : client_(client), server_(server), next_{clientStart, serverStart} {}

    // SYN, SYN-ACK and ACK.
    Conversation& Open() {
        Emit(true, "", kSyn, false);
        ++next_[0];
        Emit(false, "", kSyn | kAck, true);
        ++next_[1];
        Emit(true, "", kAck, true);
        return *this;
    }
    // A segment of the client's (or the server's) bytes, acknowledging all the other side sent.
    Conversation& Send(bool fromClient, const std::string& payload) {
        Emit(fromClient, payload, kPush | kAck, true);
        next_[fromClient ? 0 : 1] += static_cast<uint32_t>(payload.size());
        return *this;
    }
    // The same bytes cut into segments of at most size bytes.
    Conversation& SendIn(bool fromClient, const std::string& payload, size_t size) {
        for (size_t at = 0; at < payload.size(); at += size) Send(fromClient, payload.substr(at, size));
        return *this;
    }
    // Bytes sent but never captured: the numbers move on, no frame is made.
    Conversation& Lose(bool fromClient, size_t count) {
        next_[fromClient ? 0 : 1] += static_cast<uint32_t>(count);
        return *this;
    }
    // A segment the capture cut short after keep bytes: its IP header still counts all of payload.
    Conversation& SendCut(bool fromClient, const std::string& payload, size_t keep) {
        Send(fromClient, payload);
        std::vector<uint8_t>& frame = frames.back();
        frame.resize(frame.size() - (payload.size() - std::min(keep, payload.size())));
        return *this;
    }
    // An acknowledgement of everything the other side sent so far (also what the capture missed).
    Conversation& Acknowledge(bool fromClient) {
        Emit(fromClient, "", kAck, true);
        return *this;
    }
    Conversation& Close() {
        Emit(true, "", kFin | kAck, true);
        ++next_[0];
        Emit(false, "", kFin | kAck, true);
        ++next_[1];
        Emit(true, "", kAck, true);
        return *this;
    }
    uint32_t Next(bool fromClient) const { return next_[fromClient ? 0 : 1]; }

    std::vector<std::vector<uint8_t>> frames;

private:
    void Emit(bool fromClient, const std::string& payload, uint8_t flags, bool ack) {
        TcpFields fields;
        fields.sequence = next_[fromClient ? 0 : 1];
        fields.acknowledgement = ack ? next_[fromClient ? 1 : 0] : 0;
        fields.flags = flags;
        frames.push_back(fromClient ? BuildFrame(client_, server_, payload, 5, 5, fields)
                                    : BuildFrame(server_, client_, payload, 5, 5, fields));
    }

    Endpoint client_;
    Endpoint server_;
    uint32_t next_[2];
};

}  // namespace tarnwick::testing

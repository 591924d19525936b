// SPDX-License-Identifier: GPL-3.0-or-later
// The two ends of a TCP connection, for addresses of either IP family.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "capture/decode/ProcessHashKeys.h"

namespace tarnwick {

struct FlowEndpoint {
    std::array<uint8_t, 16> address{};  // the first addressLength bytes, as in the packet
    uint8_t addressLength = 4;          // 4 (IPv4) or 16 (IPv6)
    uint16_t port = 0;                  // as in the packet; only compared

    // The bytes beyond addressLength are always zero, so all sixteen compare: two words, no call.
    bool operator==(const FlowEndpoint& other) const {
        uint64_t a[2], b[2];
        std::memcpy(a, address.data(), 16);
        std::memcpy(b, other.address.data(), 16);
        return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0 && port == other.port && addressLength == other.addressLength;
    }

    static FlowEndpoint FromBytes(const uint8_t* bytes, uint8_t length, uint16_t portAsInPacket) {
        FlowEndpoint endpoint;
        endpoint.addressLength = length == 16 ? 16 : 4;
        std::memcpy(endpoint.address.data(), bytes, endpoint.addressLength);
        endpoint.port = portAsInPacket;
        return endpoint;
    }

    // "10.0.0.5" or "[2001:db8::5]": the form a URL takes when nothing names the host.
    std::string AddressForUrl() const;
};

struct FlowKey {
    FlowEndpoint client;
    FlowEndpoint server;

    bool operator==(const FlowKey&) const = default;
};

// Multilinear hashing over the key's 32-bit words with keys drawn per process: connection ends come
// from the traffic, and someone who can pick them must not be able to pile them into one bucket.
struct FlowKeyHash {
    size_t operator()(const FlowKey& key) const {
        static const auto keys = ProcessHashKeys<kWords + 1>();
        uint32_t words[kWords] = {};
        size_t next = 0;
        for (const FlowEndpoint* end : {&key.client, &key.server}) {
            std::memcpy(&words[next], end->address.data(), end->addressLength);
            next += 4;  // an IPv4 address fills the first of its four words, the rest stay zero
            words[next++] = static_cast<uint32_t>(end->port) << 8 | end->addressLength;
        }
        uint64_t sum = keys[0];
        for (size_t i = 0; i < kWords; ++i) sum += keys[i + 1] * words[i];
        return static_cast<size_t>(sum >> 32 | sum << 32);  // the top bits are the well-mixed ones
    }

private:
    static constexpr size_t kWords = 10;  // per end: four address words, then port and length
};

}  // namespace tarnwick

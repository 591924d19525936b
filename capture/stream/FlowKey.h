// The two ends of a TCP connection, for addresses of either IP family.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarnwick {

struct FlowEndpoint {
    std::array<uint8_t, 16> address{};  // the first addressLength bytes, as in the packet
    uint8_t addressLength = 4;          // 4 (IPv4) or 16 (IPv6)
    uint16_t port = 0;                  // as in the packet; only compared

    bool operator==(const FlowEndpoint& other) const {
        return addressLength == other.addressLength && port == other.port &&
               std::memcmp(address.data(), other.address.data(), addressLength) == 0;
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

struct FlowKeyHash {
    size_t operator()(const FlowKey& key) const {
        // FNV-1a over what the key compares; connection keys come from traffic, so the table also
        // bounds its size (the reassembler caps connections).
        uint64_t hash = 1469598103934665603ull;
        auto mix = [&hash](const uint8_t* bytes, size_t count) {
            for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
        };
        for (const FlowEndpoint* end : {&key.client, &key.server}) {
            mix(end->address.data(), end->addressLength);
            mix(reinterpret_cast<const uint8_t*>(&end->port), sizeof end->port);
        }
        return static_cast<size_t>(hash);
    }
};

}  // namespace tarnwick

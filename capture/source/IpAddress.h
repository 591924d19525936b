// SPDX-License-Identifier: GPL-3.0-or-later
// An IP address of either family, as it stands in the packet.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace tarnwick {

// Sixteen bytes in packet order. An IPv4 address is kept in its IPv4-mapped form (::ffff:a.b.c.d), so
// that keys and comparisons of both families are one fixed-size compare.
class IpAddress {
public:
    // The IPv6 unspecified address, ::.
    constexpr IpAddress() = default;
    // The IPv4 address a.b.c.d.
    constexpr IpAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
        : bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, a, b, c, d} {}
    // From the four bytes of an IPv4 header's address field.
    static IpAddress FromIpv4Bytes(const uint8_t* bytes) {
        IpAddress address;
        address.bytes_[10] = address.bytes_[11] = 0xFF;
        std::memcpy(address.bytes_.data() + 12, bytes, 4);
        return address;
    }
    // From the sixteen bytes of an IPv6 header's address field.
    static IpAddress FromIpv6Bytes(const uint8_t* bytes) {
        IpAddress address;
        std::memcpy(address.bytes_.data(), bytes, 16);
        return address;
    }
    // Dotted IPv4 or IPv6 text; nothing when text is neither.
    static std::optional<IpAddress> Parse(const std::string& text);

    bool IsIpv4() const {
        static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return std::memcmp(bytes_.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
    }
    // The four IPv4 bytes; meaningful when IsIpv4().
    const uint8_t* Ipv4Bytes() const { return bytes_.data() + 12; }
    const std::array<uint8_t, 16>& Bytes() const { return bytes_; }
    // Dotted text for IPv4, the shortest IPv6 text otherwise (no brackets).
    std::string ToString() const;

    // Two 8-byte compares; this runs for every captured frame.
    bool operator==(const IpAddress& other) const {
        uint64_t a[2], b[2];
        std::memcpy(a, bytes_.data(), 16);
        std::memcpy(b, other.bytes_.data(), 16);
        return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0;
    }

private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace tarnwick

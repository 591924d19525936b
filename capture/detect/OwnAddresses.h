// The addresses of this host on one adapter (or in one capture file): a packet sent from one of them
// is outgoing.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture/decode/IpAddress.h"
#include "capture/decode/TcpSegment.h"

namespace tarnwick {

class OwnAddresses {
public:
    OwnAddresses() = default;
    OwnAddresses(std::initializer_list<IpAddress> addresses) {
        for (const auto& address : addresses) Add(address);
    }

    // Adds address unless it is already there; the order of first additions is kept.
    void Add(const IpAddress& address) {
        if (Contains(address)) return;
        addresses_.push_back(address);
        if (address.IsIpv4()) {
            uint32_t word;
            std::memcpy(&word, address.Ipv4Bytes(), 4);
            ipv4Words_.push_back(word);
        }
    }
    void Add(const OwnAddresses& other) {
        for (const auto& address : other.addresses_) Add(address);
    }
    // A short walk: an adapter has a handful of addresses, and this runs for every captured frame.
    bool Contains(const IpAddress& address) const {
        for (const auto& own : addresses_)
            if (own == address) return true;
        return false;
    }
    // Whether the segment was sent from one of the addresses. IPv4 addresses, the most frequent, are
    // compared as words straight from the frame.
    bool ContainsSource(const TcpSegment& segment) const {
        if (segment.ipVersion == 4) {
            uint32_t word;
            std::memcpy(&word, segment.sourceAddressBytes, 4);
            for (const uint32_t own : ipv4Words_)
                if (own == word) return true;
            return false;
        }
        return Contains(segment.SourceAddress());
    }
    bool Empty() const { return addresses_.empty(); }
    const std::vector<IpAddress>& All() const { return addresses_; }
    // The addresses in order, separated by separator.
    std::string ToString(const std::string& separator = " ") const {
        std::string text;
        for (const auto& address : addresses_) text += (text.empty() ? "" : separator) + address.ToString();
        return text;
    }

private:
    std::vector<IpAddress> addresses_;
    std::vector<uint32_t> ipv4Words_;  // the IPv4 ones among them, as they stand in a packet
};

}  // namespace tarnwick

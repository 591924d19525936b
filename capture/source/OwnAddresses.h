// SPDX-License-Identifier: GPL-3.0-or-later
// The addresses of this host on one adapter (or in one capture file): a packet sent from one of them
// is outgoing.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture/source/IpAddress.h"

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
    }
    void Add(const OwnAddresses& other) {
        for (const auto& address : other.addresses_) Add(address);
    }
    // A short walk: an adapter has a handful of addresses.
    bool Contains(const IpAddress& address) const {
        for (const auto& own : addresses_)
            if (own == address) return true;
        return false;
    }
    bool Empty() const { return addresses_.empty(); }
    bool HasVersion(bool ipv4) const {
        for (const auto& own : addresses_)
            if (own.IsIpv4() == ipv4) return true;
        return false;
    }
    const std::vector<IpAddress>& All() const { return addresses_; }
    // The addresses in order, separated by separator.
    std::string ToString(const std::string& separator = " ") const {
        std::string text;
        for (const auto& address : addresses_) text += (text.empty() ? "" : separator) + address.ToString();
        return text;
    }

private:
    std::vector<IpAddress> addresses_;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Which network adapters can be watched, and the own addresses of each.
#pragma once

#include <pcap/pcap.h>

#include <optional>
#include <string>
#include <vector>

#include "capture/source/OwnAddresses.h"

namespace tarnwick {

struct CaptureAdapter {
    std::string name;
    OwnAddresses ownAddresses;  // every address entry that passes the address rule, in list order
};

// Linux's pseudo-adapter that captures on every adapter at once, with a cooked link header.
inline constexpr const char* kAnyAdapter = "any";

// Whether an address can be one of this host's own: an IPv4 address whose first octet is none of 0,
// 169, 254 and 255, or a global (2000::/3) or unique-local (fc00::/7) IPv6 address. Link-local,
// loopback and multicast IPv6 addresses are the same on many hosts and say nothing about direction.
bool IsUsableOwnAddress(const IpAddress& address);

// The usable addresses among an adapter's entries. Only AF_INET and AF_INET6 entries are read: other
// families keep other things at the same offsets.
OwnAddresses UsableAddressesOf(const pcap_addr_t* addresses);

// The usable adapters of an enumeration, in its order: at least one address entry, flags not exactly
// the loopback flag alone, and at least one usable address.
std::vector<CaptureAdapter> UsableAdaptersOf(const pcap_if_t* adapters);

// Enumerates the local adapters; on failure the list is empty and error (when given) says why.
std::vector<CaptureAdapter> ListUsableAdapters(std::string* error);
std::vector<std::string> ListCaptureAdapters();

// The usable addresses of the named adapter, or of every adapter for kAnyAdapter; empty when it is not
// in the enumeration.
OwnAddresses OwnAddressesOfAdapter(const std::string& name);

// Whether the named adapter is this host's loopback (every frame on it was both sent and received here).
bool IsLoopbackAdapter(const std::string& name);

// On an activated handle that offers the second Linux cooked header (as "any" does), selects it: it
// names the adapter of every frame. Other handles keep their link type.
void PreferCookedHeaderV2(pcap_t* handle);

// The link type an adapter delivers once opened (a DLT_ value), or nothing when it cannot be opened
// (for instance without capture permission).
std::optional<int> LinkTypeOfAdapter(const std::string& name);

}  // namespace tarnwick

// Which network adapters can be watched, and the own address of each.
#pragma once

#include <pcap/pcap.h>

#include <optional>
#include <string>
#include <vector>

#include "capture/detect/PendingRequest.h"

namespace tarnwick {

struct CaptureAdapter {
    std::string name;
    Ipv4Address ownAddress{};
};

// The first IPv4 address entry whose first octet is none of 0, 169, 254 and 255. Only AF_INET
// entries are read: other families keep other things at the same offset.
std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr_t* addresses);

// The usable adapters of an enumeration, in its order: at least one address entry, flags not exactly
// the loopback flag alone, and a usable address (which becomes the own address).
std::vector<CaptureAdapter> UsableAdaptersOf(const pcap_if_t* adapters);

// Enumerates the local adapters; on failure the list is empty and error (when given) says why.
std::vector<CaptureAdapter> ListUsableAdapters(std::string* error);
std::vector<std::string> ListCaptureAdapters();

std::string FormatAddress(const Ipv4Address& address);
std::optional<Ipv4Address> ParseAddress(const std::string& text);

}  // namespace tarnwick

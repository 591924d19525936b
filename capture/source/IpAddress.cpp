// SPDX-License-Identifier: GPL-3.0-or-later
// An IP address of either family, as it stands in the packet.
#include "capture/source/IpAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tarnwick {

std::optional<IpAddress> IpAddress::Parse(const std::string& text) {
    uint8_t bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) return FromIpv4Bytes(bytes);
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) return FromIpv6Bytes(bytes);
    return std::nullopt;
}

std::string IpAddress::ToString() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (IsIpv4())
        inet_ntop(AF_INET, Ipv4Bytes(), text, sizeof text);
    else
        inet_ntop(AF_INET6, bytes_.data(), text, sizeof text);
    return text;
}

}  // namespace tarnwick

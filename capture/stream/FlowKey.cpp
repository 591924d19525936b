// SPDX-License-Identifier: GPL-3.0-or-later
// The two ends of a TCP connection, for addresses of either IP family.
#include "capture/stream/FlowKey.h"

#include <arpa/inet.h>

namespace tarnwick {

std::string FlowEndpoint::AddressForUrl() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (addressLength == 16) {
        if (!inet_ntop(AF_INET6, address.data(), text, sizeof text)) return {};
        return "[" + std::string(text) + "]";
    }
    if (!inet_ntop(AF_INET, address.data(), text, sizeof text)) return {};
    return text;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The link types that capture files name, as the DLT_ values libpcap and the decoders use.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

namespace tarnwick {

// A file's LINKTYPE_ value as the DLT_ value that libpcap and the decoders use. Only a few below 104
// differ (on Linux); the capture helper writes DLT_ values, which pass unchanged.
inline int DltOfLinkType(uint16_t linkType) {
    switch (linkType) {
        case 100:
            return DLT_ATM_RFC1483;
        case 101:
            return DLT_RAW;
        case 102:
            return DLT_SLIP_BSDOS;
        case 103:
            return DLT_PPP_BSDOS;
        case 106:
            return DLT_ATM_CLIP;
        default:
            return linkType;
    }
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// What the kernel says about a live capture: packets it passed on and packets it had to drop.
#pragma once

#include <cstdint>

namespace tarnwick {

struct CaptureStatistics {
    uint64_t received = 0;          // packets that passed the filter, dropped ones included
    uint64_t dropped = 0;           // dropped by the kernel: the capture buffer was full
    uint64_t interfaceDropped = 0;  // dropped by the network interface, where the library knows it

    bool operator==(const CaptureStatistics&) const = default;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// What the reassembly saw, delivered, passed over and cut, for the statistics line.
#pragma once

#include <cstdint>

namespace tarnwick {

struct ReassemblyStatistics {
    uint64_t connections = 0;         // connections followed
    uint64_t passedOver = 0;          // of them, connections that no reader wanted (other protocols)
    uint64_t segments = 0;            // segments of followed connections
    uint64_t bytesDelivered = 0;      // payload bytes handed to readers in order
    uint64_t bytesSkipped = 0;        // payload bytes passed over unread (bodies nobody needs)
    uint64_t outOfOrderSegments = 0;  // kept for a while, waiting for a hole to be filled
    uint64_t duplicateSegments = 0;   // every byte seen before
    uint64_t gaps = 0;                // stretches of bytes sent but never captured
    uint64_t gapBytes = 0;
    uint64_t closed = 0;        // ended by FIN or RST with nothing missing
    uint64_t cuts = 0;          // holes given up early to keep a connection within its bound
    uint64_t evictions = 0;     // ended to keep all connections within their bounds
    uint64_t idleTimeouts = 0;  // ended after the idle time-out
};

}  // namespace tarnwick

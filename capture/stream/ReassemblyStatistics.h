// What the reassembly saw, delivered and cut, for the statistics line.
#pragma once

#include <cstdint>

namespace tarnwick {

struct ReassemblyStatistics {
    uint64_t connections = 0;        // connections followed
    uint64_t segments = 0;           // segments of followed connections
    uint64_t bytesDelivered = 0;     // payload bytes handed on in order
    uint64_t outOfOrderSegments = 0; // kept for a while, waiting for a hole to be filled
    uint64_t duplicateSegments = 0;  // every byte seen before
    uint64_t closed = 0;             // ended by FIN or RST with nothing missing
    uint64_t gaps = 0;               // ended because bytes were lost
    uint64_t cuts = 0;               // ended at the per-connection buffer bound
    uint64_t evictions = 0;          // ended to keep all connections within their bounds
    uint64_t idleTimeouts = 0;       // ended after the idle time-out
};

}  // namespace tarnwick

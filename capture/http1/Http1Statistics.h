// SPDX-License-Identifier: GPL-3.0-or-later
// What the HTTP/1 readers saw, and where they lost their way.
#pragma once

#include <cstdint>

namespace tarnwick {

struct Http1Statistics {
    uint64_t connections = 0;
    uint64_t requests = 0;
    uint64_t responses = 0;
    uint64_t unpaired = 0;  // answers without a request to pair with (it was not captured)
    uint64_t lost = 0;  // times a side lost its place (bytes missing, or not HTTP/1) and looked for the next message
    uint64_t headsCut = 0;  // heads longer than their bound, or beyond the bound of all heads
    uint64_t upgraded = 0;  // connections that switched to another protocol
    uint64_t givenUp = 0;   // connections no longer read (too many requests without answers)
};

}  // namespace tarnwick

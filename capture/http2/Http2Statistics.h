// SPDX-License-Identifier: GPL-3.0-or-later
// What the HTTP/2 reader of reassembled connections saw, and what it gave up or cut.
#pragma once

#include <cstdint>

namespace tarnwick {

struct Http2Statistics {
    uint64_t connections = 0;
    uint64_t requests = 0;          // request header blocks, promised ones included
    uint64_t pushes = 0;            // requests a server promised (PUSH_PROMISE)
    uint64_t responses = 0;         // final responses
    uint64_t upgrades = 0;          // clear-text connections switched from HTTP/1.1 (Upgrade: h2c)
    uint64_t malformed = 0;         // connections given up: bytes that break the framing rules
    uint64_t decodingErrors = 0;    // connections given up: a header block HPACK could not decode
    uint64_t streamsRefused = 0;    // streams not followed: the bound of streams or held bytes was reached
    uint64_t headerListsCut = 0;    // header blocks beyond the header list bound; their streams are not judged
    uint64_t malformedStreams = 0;  // streams whose fields make no HTTP/1 message; not judged
    uint64_t lostStretches = 0;     // connections given up: bytes the capture missed
};

}  // namespace tarnwick

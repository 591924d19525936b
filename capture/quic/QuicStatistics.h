// SPDX-License-Identifier: GPL-3.0-or-later
// What the QUIC stage saw and decrypted, what HTTP/3 read in it, and why it gave things up.
#pragma once

#include <cstdint>

namespace tarnwick {

struct QuicStatistics {
    uint64_t datagrams = 0;    // UDP datagrams that held QUIC packets of a followed connection
    uint64_t connections = 0;  // connections followed from their client's first Initial
    uint64_t decrypted = 0;    // connections with at least one 1-RTT packet opened
    uint64_t packetsDecrypted = 0;
    uint64_t bytesDecrypted = 0;          // plaintext bytes
    uint64_t missingKeys = 0;             // connections whose 1-RTT packets the key log never opened
    uint64_t authenticationFailures = 0;  // packets that did not open with their keys (dropped)
    uint64_t malformed = 0;               // packets or frames that could not be read
    uint64_t unsupported = 0;             // connections of a cipher suite that is not decrypted
    uint64_t notFollowed = 0;             // the bound of QUIC connections at once was reached
    uint64_t cut = 0;                     // stream or CRYPTO data beyond the bound of held bytes
    uint64_t requests = 0;                // HTTP/3 requests, pushed ones included
    uint64_t pushes = 0;
    uint64_t responses = 0;
    uint64_t streamsRefused = 0;  // requests not followed: the bound of streams was reached
    uint64_t headerListsCut = 0;
    uint64_t malformedStreams = 0;  // HTTP/3 streams whose frames or fields could not be read
    uint64_t qpackErrors = 0;       // connections whose header blocks QPACK could not decode
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// What the TLS stage saw and decrypted, and why it gave connections up.
#pragma once

#include <cstdint>

namespace tarnwick {

struct TlsStatistics {
    uint64_t connections = 0;  // handshakes followed
    uint64_t decrypted = 0;    // connections with at least one record decrypted
    uint64_t recordsDecrypted = 0;
    uint64_t bytesDecrypted = 0;          // plaintext bytes
    uint64_t missingKeys = 0;             // given up: the key log never had the connection's secrets
    uint64_t authenticationFailures = 0;  // given up: a record failed authentication
    uint64_t malformed = 0;               // given up: records or handshake messages that cannot be read
    uint64_t unsupported = 0;             // given up: a version or cipher suite that is not decrypted
    uint64_t unread = 0;                  // decrypted, but of a protocol no reader reads
    uint64_t cut = 0;                     // given up: records beyond the bound of held bytes
    uint64_t lost = 0;                    // given up: bytes the capture missed
    uint64_t notFollowed = 0;             // not followed: the bound of TLS connections at once was reached
};

}  // namespace tarnwick

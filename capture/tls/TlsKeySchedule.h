// SPDX-License-Identifier: GPL-3.0-or-later
// Turns logged secrets into record keys with OpenSSL's KDFs: HKDF-Expand-Label (TLS 1.3), the TLS 1.2 PRF.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "capture/tls/TlsCipherSuite.h"
#include "capture/tls/TlsKeyLogLine.h"
#include "capture/tls/TlsSecret.h"

namespace tarnwick {

struct TlsRecordKeys {
    TlsSecret key;
    TlsSecret iv;  // the whole 12-byte IV (TLS 1.3, ChaCha20), or the 4-byte GCM salt (TLS 1.2)
};

class TlsKeySchedule {
public:
    // HKDF-Expand-Label(secret, label, "", size) with the suite's hash; also what QUIC derives its packet
    // keys with. False when OpenSSL refuses.
    static bool ExpandLabel(const TlsCipherSuite& suite, const TlsSecret& secret, std::string_view label, uint8_t* out,
                            size_t size);
    // HKDF-Extract(salt, key) with the suite's hash.
    static bool Extract(const TlsCipherSuite& suite, std::span<const uint8_t> salt, std::span<const uint8_t> key,
                        TlsSecret& out);
    // TLS 1.3: the key and IV of a traffic secret. False when OpenSSL refuses.
    static bool TrafficKeys(const TlsCipherSuite& suite, const TlsSecret& trafficSecret, TlsRecordKeys& out);
    // TLS 1.3 key update: the next traffic secret of a direction.
    static bool NextTrafficSecret(const TlsCipherSuite& suite, const TlsSecret& current, TlsSecret& next);
    // TLS 1.2: both directions' keys from the master secret and the two hello randoms.
    static bool Tls12Keys(const TlsCipherSuite& suite, const TlsSecret& masterSecret,
                          const TlsClientRandom& clientRandom, const TlsClientRandom& serverRandom,
                          TlsRecordKeys& client, TlsRecordKeys& server);
};

}  // namespace tarnwick

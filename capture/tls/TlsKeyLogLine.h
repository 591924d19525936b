// SPDX-License-Identifier: GPL-3.0-or-later
// One line of an NSS key log: a label, the client random it belongs to, and a secret.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "capture/tls/TlsSecret.h"

namespace tarnwick {

using TlsClientRandom = std::array<uint8_t, 32>;

enum class TlsSecretKind : uint8_t {
    MasterSecret,            // CLIENT_RANDOM: the TLS 1.2 master secret
    ClientEarlyTraffic,      // CLIENT_EARLY_TRAFFIC_SECRET
    ClientHandshakeTraffic,  // CLIENT_HANDSHAKE_TRAFFIC_SECRET
    ServerHandshakeTraffic,  // SERVER_HANDSHAKE_TRAFFIC_SECRET
    ClientTraffic,           // CLIENT_TRAFFIC_SECRET_0
    ServerTraffic,           // SERVER_TRAFFIC_SECRET_0
};

struct TlsKeyLogLine {
    enum class Kind {
        Secret,     // one of the labels above, well formed
        Ignored,    // blank, a comment, or a label that decryption does not use
        Malformed,  // not "LABEL <64 hex digits> <hex secret>" for a label that is used
    };

    TlsSecretKind secretKind = TlsSecretKind::MasterSecret;
    TlsClientRandom clientRandom{};
    TlsSecret secret;

    // Reads one line without its line end (a trailing CR is allowed).
    static Kind Parse(std::string_view line, TlsKeyLogLine& out);
    // Appends the line as a key log holds it, with its line end. out then holds a secret: its owner wipes it.
    void AppendTo(std::string& out) const;
};

}  // namespace tarnwick

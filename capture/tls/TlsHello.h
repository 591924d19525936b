// SPDX-License-Identifier: GPL-3.0-or-later
// What the hello messages of a handshake say that decryption and the readers above it need.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "capture/tls/TlsKeyLogLine.h"

namespace tarnwick {

struct TlsClientHello {
    TlsClientRandom random{};
    std::string serverName;                // the host_name of server_name; empty when absent
    std::vector<std::string> offeredAlpn;  // protocols offered in order
    bool offersEarlyData = false;

    // Reads a ClientHello body (after the 4-byte handshake header). False when it is malformed.
    static bool Parse(std::span<const uint8_t> body, TlsClientHello& out);
};

struct TlsServerHello {
    TlsClientRandom random{};
    uint16_t cipherSuite = 0;
    uint16_t version = 0;  // 0x0304 when supported_versions says TLS 1.3, else the legacy version
    bool helloRetryRequest = false;
    std::string alpn;  // TLS 1.2 carries the chosen protocol here

    static bool Parse(std::span<const uint8_t> body, TlsServerHello& out);
};

struct TlsEncryptedExtensions {
    std::string alpn;  // TLS 1.3 carries the chosen protocol here
    bool acceptsEarlyData = false;

    static bool Parse(std::span<const uint8_t> body, TlsEncryptedExtensions& out);
};

}  // namespace tarnwick

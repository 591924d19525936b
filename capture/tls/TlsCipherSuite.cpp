// SPDX-License-Identifier: GPL-3.0-or-later
// The cipher suites whose records can be decrypted: their AEAD, hash and key sizes.
#include "capture/tls/TlsCipherSuite.h"

namespace tarnwick {

namespace {

constexpr TlsCipherSuite kSuites[] = {
    // TLS 1.3
    {0x1301, true, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0x1302, true, TlsAead::Aes256Gcm, TlsHash::Sha384},
    {0x1303, true, TlsAead::ChaCha20Poly1305, TlsHash::Sha256},
    // TLS 1.2, AES-GCM: RSA, DHE-RSA, DHE-DSS, ECDHE-ECDSA, ECDHE-RSA key exchange
    {0x009C, false, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0x009D, false, TlsAead::Aes256Gcm, TlsHash::Sha384},
    {0x009E, false, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0x009F, false, TlsAead::Aes256Gcm, TlsHash::Sha384},
    {0x00A2, false, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0x00A3, false, TlsAead::Aes256Gcm, TlsHash::Sha384},
    {0xC02B, false, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0xC02C, false, TlsAead::Aes256Gcm, TlsHash::Sha384},
    {0xC02F, false, TlsAead::Aes128Gcm, TlsHash::Sha256},
    {0xC030, false, TlsAead::Aes256Gcm, TlsHash::Sha384},
    // TLS 1.2, ChaCha20-Poly1305: ECDHE-RSA, ECDHE-ECDSA, DHE-RSA
    {0xCCA8, false, TlsAead::ChaCha20Poly1305, TlsHash::Sha256},
    {0xCCA9, false, TlsAead::ChaCha20Poly1305, TlsHash::Sha256},
    {0xCCAA, false, TlsAead::ChaCha20Poly1305, TlsHash::Sha256},
};

}  // namespace

std::optional<TlsCipherSuite> TlsCipherSuite::Find(uint16_t id) {
    for (const auto& suite : kSuites)
        if (suite.id == id) return suite;
    return std::nullopt;
}

}  // namespace tarnwick

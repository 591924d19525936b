// SPDX-License-Identifier: GPL-3.0-or-later
// The cipher suites whose records can be decrypted: their AEAD, hash and key sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarnwick {

enum class TlsAead : uint8_t { Aes128Gcm, Aes256Gcm, ChaCha20Poly1305 };
enum class TlsHash : uint8_t { Sha256, Sha384 };

struct TlsCipherSuite {
    uint16_t id = 0;
    bool tls13 = false;
    TlsAead aead = TlsAead::Aes128Gcm;
    TlsHash hash = TlsHash::Sha256;

    size_t KeySize() const { return aead == TlsAead::Aes128Gcm ? 16 : 32; }
    size_t HashSize() const { return hash == TlsHash::Sha256 ? 32 : 48; }
    // The IV part taken from the key block (TLS 1.2): a 4-byte salt for GCM, a 12-byte mask for ChaCha20.
    size_t FixedIvSize() const { return tls13 || aead == TlsAead::ChaCha20Poly1305 ? 12 : 4; }
    // Bytes of explicit nonce at the start of each record: only TLS 1.2 with GCM has them.
    size_t ExplicitNonceSize() const { return !tls13 && aead != TlsAead::ChaCha20Poly1305 ? 8 : 0; }

    // The TLS 1.3 AEAD suites and the TLS 1.2 (EC)DHE/RSA AEAD suites; nothing for anything else.
    static std::optional<TlsCipherSuite> Find(uint16_t id);
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Opens the protected records of one direction with OpenSSL's AEAD ciphers.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "capture/tls/TlsCipherSuite.h"
#include "capture/tls/TlsKeySchedule.h"

namespace tarnwick {

struct TlsPlaintext {
    uint8_t contentType = 0;   // the inner type (TLS 1.3) or the record's type (TLS 1.2)
    std::span<uint8_t> bytes;  // inside the caller's output buffer
};

// Keeps the record sequence number: every record of the direction must pass through Open in order.
class TlsRecordDecryptor {
public:
    // The AEAD cipher of a suite, fetched once for the process; QUIC's packet protection uses it too.
    static const EVP_CIPHER* CipherOf(TlsAead aead);

    static constexpr size_t kTagSize = 16;

    TlsRecordDecryptor();
    ~TlsRecordDecryptor();
    TlsRecordDecryptor(const TlsRecordDecryptor&) = delete;
    TlsRecordDecryptor& operator=(const TlsRecordDecryptor&) = delete;

    // Starts over with new keys at sequence number 0. False when OpenSSL refuses them.
    bool Install(const TlsCipherSuite& suite, const TlsRecordKeys& keys);
    bool Installed() const { return installed_; }
    uint64_t Sequence() const { return sequence_; }
    size_t ExplicitNonceSize() const { return installed_ ? suite_.ExplicitNonceSize() : 0; }

    // Authenticates and decrypts one record. header is its 5-byte header, body its protected bytes;
    // output needs room for body.size() bytes; it must not overlap body except by being exactly where the
    // cipher text begins (body + ExplicitNonceSize()), for decryption in place. Nothing when the record
    // fails authentication or is malformed; the sequence number moves on only after a success.
    std::optional<TlsPlaintext> Open(std::span<const uint8_t, 5> header, std::span<const uint8_t> body,
                                     uint8_t* output);

private:
    EVP_CIPHER_CTX* context_;
    TlsCipherSuite suite_{};
    uint8_t iv_[12] = {};
    size_t fixedIvSize_ = 0;
    uint64_t sequence_ = 0;
    bool installed_ = false;
};

}  // namespace tarnwick

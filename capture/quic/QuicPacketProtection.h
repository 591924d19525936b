// SPDX-License-Identifier: GPL-3.0-or-later
// Removes the header protection of QUIC packets and opens their payloads, for one direction's keys.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "capture/tls/TlsCipherSuite.h"
#include "capture/tls/TlsSecret.h"

namespace tarnwick {

// What one secret gives a direction of one packet number space: the AEAD key and IV, and the header
// protection key (which a key update keeps).
struct QuicPacketKeys {
    TlsSecret secret;  // kept for the next key phase
    TlsSecret key;
    TlsSecret iv;
    TlsSecret headerProtection;
};

// Holds the OpenSSL contexts made once per key: a packet costs one AEAD pass and one mask block.
class QuicPacketProtection {
public:
    static constexpr size_t kTagSize = 16;
    static constexpr size_t kSampleSize = 16;
    static constexpr size_t kMaskSize = 5;

    QuicPacketProtection();
    ~QuicPacketProtection();
    QuicPacketProtection(const QuicPacketProtection&) = delete;
    QuicPacketProtection& operator=(const QuicPacketProtection&) = delete;

    // The packet keys a TLS secret gives with a version's labels. False when OpenSSL refuses.
    static bool Derive(uint32_t version, const TlsCipherSuite& suite, const TlsSecret& secret, QuicPacketKeys& out);
    // The Initial secrets of both directions, from the client's first Destination Connection ID.
    static bool InitialSecrets(uint32_t version, std::span<const uint8_t> connectionId, TlsSecret& client,
                               TlsSecret& server);
    // The next key phase's keys: a new secret, key and IV; the header protection key stays.
    static bool NextPhase(uint32_t version, const TlsCipherSuite& suite, const QuicPacketKeys& current,
                          QuicPacketKeys& next);
    // The suite of Initial packets.
    static TlsCipherSuite InitialSuite();

    // Takes the keys (header protection included unless withHeaderKey is false). False when OpenSSL
    // refuses them.
    bool Install(const TlsCipherSuite& suite, const QuicPacketKeys& keys);
    bool Installed() const { return installed_; }
    const TlsCipherSuite& Suite() const { return suite_; }

    // The five mask bytes of a packet from its 16-byte sample. False when the cipher fails.
    bool HeaderMask(std::span<const uint8_t, kSampleSize> sample, uint8_t (&mask)[kMaskSize]);

    // Authenticates and decrypts a payload (cipher text followed by its tag) of the packet with this
    // packet number; header is the unprotected header, the additional data. output needs room for
    // payload.size() - kTagSize bytes and may be exactly payload.data(). The plaintext's size, or nothing
    // when the packet does not authenticate.
    std::optional<size_t> Open(uint64_t packetNumber, std::span<const uint8_t> header, std::span<const uint8_t> payload,
                               uint8_t* output);

private:
    EVP_CIPHER_CTX* aead_;
    EVP_CIPHER_CTX* mask_;
    TlsCipherSuite suite_{};
    uint8_t iv_[12] = {};
    bool installed_ = false;
};

}  // namespace tarnwick

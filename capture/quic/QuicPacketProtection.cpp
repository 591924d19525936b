// SPDX-License-Identifier: GPL-3.0-or-later
// Removes the header protection of QUIC packets and opens their payloads, for one direction's keys.
#include "capture/quic/QuicPacketProtection.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>

#include "capture/quic/QuicVersion.h"
#include "capture/tls/TlsKeySchedule.h"
#include "capture/tls/TlsRecordDecryptor.h"

namespace tarnwick {

namespace {

// Fetched once, as the AEAD ciphers are: an implicit fetch per packet would cost more than its mask.
const EVP_CIPHER* MaskCipherOf(TlsAead aead) {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    static EVP_CIPHER* const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
    switch (aead) {
        case TlsAead::Aes128Gcm:
            return aes128;
        case TlsAead::Aes256Gcm:
            return aes256;
        case TlsAead::ChaCha20Poly1305:
            return chacha;
    }
    return nullptr;
}

bool Expand(const TlsCipherSuite& suite, const TlsSecret& secret, std::string_view label, size_t size, TlsSecret& out) {
    if (!TlsKeySchedule::ExpandLabel(suite, secret, label, out.MutableData(), size)) return false;
    out.SetSize(size);
    return true;
}

}  // namespace

QuicPacketProtection::QuicPacketProtection() : aead_(EVP_CIPHER_CTX_new()), mask_(EVP_CIPHER_CTX_new()) {}

QuicPacketProtection::~QuicPacketProtection() {
    EVP_CIPHER_CTX_free(aead_);
    EVP_CIPHER_CTX_free(mask_);
    OPENSSL_cleanse(iv_, sizeof iv_);
}

TlsCipherSuite QuicPacketProtection::InitialSuite() {
    return *TlsCipherSuite::Find(0x1301);
}

bool QuicPacketProtection::Derive(uint32_t version, const TlsCipherSuite& suite, const TlsSecret& secret,
                                  QuicPacketKeys& out) {
    if (!suite.tls13 || secret.Size() != suite.HashSize()) return false;
    const auto labels = QuicVersion::LabelsOf(version);
    out.secret = secret;
    return Expand(suite, secret, labels.key, suite.KeySize(), out.key) &&
           Expand(suite, secret, labels.iv, 12, out.iv) &&
           Expand(suite, secret, labels.headerProtection, suite.KeySize(), out.headerProtection);
}

bool QuicPacketProtection::InitialSecrets(uint32_t version, std::span<const uint8_t> connectionId, TlsSecret& client,
                                          TlsSecret& server) {
    const TlsCipherSuite suite = InitialSuite();
    TlsSecret initial;
    if (!TlsKeySchedule::Extract(suite, QuicVersion::InitialSalt(version), connectionId, initial)) return false;
    return Expand(suite, initial, "client in", suite.HashSize(), client) &&
           Expand(suite, initial, "server in", suite.HashSize(), server);
}

bool QuicPacketProtection::NextPhase(uint32_t version, const TlsCipherSuite& suite, const QuicPacketKeys& current,
                                     QuicPacketKeys& next) {
    TlsSecret secret;
    if (!Expand(suite, current.secret, QuicVersion::LabelsOf(version).keyUpdate, suite.HashSize(), secret))
        return false;
    const auto labels = QuicVersion::LabelsOf(version);
    next.secret = secret;
    next.headerProtection = current.headerProtection;
    return Expand(suite, secret, labels.key, suite.KeySize(), next.key) &&
           Expand(suite, secret, labels.iv, 12, next.iv);
}

bool QuicPacketProtection::Install(const TlsCipherSuite& suite, const QuicPacketKeys& keys) {
    installed_ = false;
    const EVP_CIPHER* aead = TlsRecordDecryptor::CipherOf(suite.aead);
    const EVP_CIPHER* mask = MaskCipherOf(suite.aead);
    if (!aead_ || !mask_ || !aead || !mask || keys.key.Size() != suite.KeySize() || keys.iv.Size() != 12 ||
        keys.headerProtection.Size() != suite.KeySize())
        return false;
    if (EVP_DecryptInit_ex(aead_, aead, nullptr, keys.key.Bytes().data(), nullptr) != 1) return false;
    if (EVP_EncryptInit_ex(mask_, mask, nullptr, keys.headerProtection.Bytes().data(), nullptr) != 1) return false;
    EVP_CIPHER_CTX_set_padding(mask_, 0);
    suite_ = suite;
    std::memcpy(iv_, keys.iv.Bytes().data(), sizeof iv_);
    installed_ = true;
    return true;
}

bool QuicPacketProtection::HeaderMask(std::span<const uint8_t, kSampleSize> sample, uint8_t (&mask)[kMaskSize]) {
    if (!installed_) return false;
    int written = 0;
    if (suite_.aead == TlsAead::ChaCha20Poly1305) {
        // The sample is the block counter (its first four bytes, little-endian) and the nonce: OpenSSL's
        // ChaCha20 takes exactly that as its 16-byte IV. The mask is the key stream over five zero bytes.
        static constexpr uint8_t kZeros[kMaskSize] = {};
        return EVP_EncryptInit_ex(mask_, nullptr, nullptr, nullptr, sample.data()) == 1 &&
               EVP_EncryptUpdate(mask_, mask, &written, kZeros, kMaskSize) == 1 && written == kMaskSize;
    }
    uint8_t block[kSampleSize];
    if (EVP_EncryptUpdate(mask_, block, &written, sample.data(), kSampleSize) != 1 || written != kSampleSize)
        return false;
    std::memcpy(mask, block, kMaskSize);
    return true;
}

std::optional<size_t> QuicPacketProtection::Open(uint64_t packetNumber, std::span<const uint8_t> header,
                                                 std::span<const uint8_t> payload, uint8_t* output) {
    if (!installed_ || payload.size() < kTagSize || payload.size() > INT_MAX || header.size() > INT_MAX)
        return std::nullopt;
    const size_t cipherSize = payload.size() - kTagSize;
    uint8_t nonce[12];
    std::memcpy(nonce, iv_, sizeof nonce);
    for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<uint8_t>(packetNumber >> (8 * i));
    int written = 0;
    if (EVP_DecryptInit_ex(aead_, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_DecryptUpdate(aead_, nullptr, &written, header.data(), static_cast<int>(header.size())) != 1)
        return std::nullopt;
    // The tag is copied out first: decryption in place overwrites nothing past the cipher text, but the
    // tag must be set before the final check.
    uint8_t tag[kTagSize];
    std::memcpy(tag, payload.data() + cipherSize, kTagSize);
    if (cipherSize > 0 &&
        (EVP_DecryptUpdate(aead_, output, &written, payload.data(), static_cast<int>(cipherSize)) != 1 ||
         static_cast<size_t>(written) != cipherSize))
        return std::nullopt;
    if (EVP_CIPHER_CTX_ctrl(aead_, EVP_CTRL_AEAD_SET_TAG, kTagSize, tag) != 1) return std::nullopt;
    int finalWritten = 0;
    if (EVP_DecryptFinal_ex(aead_, output + cipherSize, &finalWritten) != 1) return std::nullopt;
    return cipherSize;
}

}  // namespace tarnwick

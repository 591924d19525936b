// SPDX-License-Identifier: GPL-3.0-or-later
// Opens the protected records of one direction with OpenSSL's AEAD ciphers.
#include "capture/tls/TlsRecordDecryptor.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>

namespace tarnwick {

namespace {

void PutBigEndian64(uint64_t value, uint8_t* out) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
}

}  // namespace

// Fetched once: an implicit fetch on every initialisation would cost more than a small record's decryption.
const EVP_CIPHER* TlsRecordDecryptor::CipherOf(TlsAead aead) {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    static EVP_CIPHER* const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
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

TlsRecordDecryptor::TlsRecordDecryptor() : context_(EVP_CIPHER_CTX_new()) {}

TlsRecordDecryptor::~TlsRecordDecryptor() {
    EVP_CIPHER_CTX_free(context_);
    OPENSSL_cleanse(iv_, sizeof iv_);
}

bool TlsRecordDecryptor::Install(const TlsCipherSuite& suite, const TlsRecordKeys& keys) {
    installed_ = false;
    sequence_ = 0;
    const EVP_CIPHER* cipher = CipherOf(suite.aead);
    if (!context_ || !cipher || keys.key.Size() != suite.KeySize() || keys.iv.Size() != suite.FixedIvSize())
        return false;
    if (EVP_DecryptInit_ex(context_, cipher, nullptr, keys.key.Bytes().data(), nullptr) != 1) return false;
    suite_ = suite;
    fixedIvSize_ = keys.iv.Size();
    std::memset(iv_, 0, sizeof iv_);
    std::memcpy(iv_, keys.iv.Bytes().data(), fixedIvSize_);
    installed_ = true;
    return true;
}

std::optional<TlsPlaintext> TlsRecordDecryptor::Open(std::span<const uint8_t, 5> header, std::span<const uint8_t> body,
                                                     uint8_t* output) {
    if (!installed_) return std::nullopt;
    const size_t explicitNonce = suite_.ExplicitNonceSize();
    if (body.size() < explicitNonce + kTagSize || body.size() > INT_MAX) return std::nullopt;
    const size_t cipherSize = body.size() - explicitNonce - kTagSize;

    // The nonce: salt and explicit part (TLS 1.2 GCM), else the IV XOR the sequence number.
    uint8_t nonce[12];
    std::memcpy(nonce, iv_, sizeof nonce);
    uint8_t sequence[8];
    PutBigEndian64(sequence_, sequence);
    if (explicitNonce > 0) {
        std::memcpy(nonce + fixedIvSize_, body.data(), explicitNonce);
    } else {
        for (int i = 0; i < 8; ++i) nonce[4 + i] ^= sequence[i];
    }

    // The additional data: the record header (TLS 1.3), or sequence number, type, version, plaintext length.
    uint8_t additional[13];
    size_t additionalSize = 5;
    if (suite_.tls13) {
        std::memcpy(additional, header.data(), 5);
    } else {
        std::memcpy(additional, sequence, 8);
        std::memcpy(additional + 8, header.data(), 3);
        additional[11] = static_cast<uint8_t>(cipherSize >> 8);
        additional[12] = static_cast<uint8_t>(cipherSize);
        additionalSize = 13;
    }

    int length = 0;
    const uint8_t* cipherText = body.data() + explicitNonce;
    uint8_t tag[kTagSize];
    std::memcpy(tag, cipherText + cipherSize, kTagSize);
    if (EVP_DecryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_DecryptUpdate(context_, nullptr, &length, additional, static_cast<int>(additionalSize)) != 1 ||
        EVP_DecryptUpdate(context_, output, &length, cipherText, static_cast<int>(cipherSize)) != 1 ||
        EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_SET_TAG, kTagSize, tag) != 1)
        return std::nullopt;
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context_, output + length, &finalLength) != 1) return std::nullopt;
    ++sequence_;

    TlsPlaintext plain{header[0], {output, cipherSize}};
    if (suite_.tls13) {
        // The inner type is the last byte that is not zero padding.
        size_t end = cipherSize;
        while (end > 0 && output[end - 1] == 0) --end;
        if (end == 0) return std::nullopt;
        plain.contentType = output[end - 1];
        plain.bytes = {output, end - 1};
    }
    return plain;
}

}  // namespace tarnwick

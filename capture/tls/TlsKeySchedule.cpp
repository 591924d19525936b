// SPDX-License-Identifier: GPL-3.0-or-later
// Turns logged secrets into record keys with OpenSSL's KDFs: HKDF-Expand-Label (TLS 1.3), the TLS 1.2 PRF.
#include "capture/tls/TlsKeySchedule.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

const char* DigestName(const TlsCipherSuite& suite) {
    return suite.hash == TlsHash::Sha256 ? "SHA256" : "SHA384";
}

// Runs one KDF with the given parameters into out; false when anything fails.
bool Derive(const char* algorithm, OSSL_PARAM* parameters, uint8_t* out, size_t size) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, algorithm, nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!context) return false;
    const bool derived = EVP_KDF_derive(context, out, size, parameters) > 0;
    EVP_KDF_CTX_free(context);
    return derived;
}

}  // namespace

bool TlsKeySchedule::ExpandLabel(const TlsCipherSuite& suite, const TlsSecret& secret, std::string_view label,
                                 uint8_t* out, size_t size) {
    constexpr std::string_view kPrefix = "tls13 ";
    std::vector<uint8_t> info;
    info.push_back(static_cast<uint8_t>(size >> 8));
    info.push_back(static_cast<uint8_t>(size));
    info.push_back(static_cast<uint8_t>(kPrefix.size() + label.size()));
    info.insert(info.end(), kPrefix.begin(), kPrefix.end());
    info.insert(info.end(), label.begin(), label.end());
    info.push_back(0);  // empty context

    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(secret.Bytes().data()),
                                          secret.Size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        OSSL_PARAM_construct_end(),
    };
    return Derive("HKDF", parameters, out, size);
}

bool TlsKeySchedule::Extract(const TlsCipherSuite& suite, std::span<const uint8_t> salt, std::span<const uint8_t> key,
                             TlsSecret& out) {
    int mode = EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
    uint8_t empty = 0;
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key.empty() ? &empty : const_cast<uint8_t*>(key.data()),
                                          key.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_end(),
    };
    if (!Derive("HKDF", parameters, out.MutableData(), suite.HashSize())) return false;
    out.SetSize(suite.HashSize());
    return true;
}

bool TlsKeySchedule::TrafficKeys(const TlsCipherSuite& suite, const TlsSecret& trafficSecret, TlsRecordKeys& out) {
    if (trafficSecret.Size() != suite.HashSize()) return false;
    if (!ExpandLabel(suite, trafficSecret, "key", out.key.MutableData(), suite.KeySize())) return false;
    out.key.SetSize(suite.KeySize());
    if (!ExpandLabel(suite, trafficSecret, "iv", out.iv.MutableData(), 12)) return false;
    out.iv.SetSize(12);
    return true;
}

bool TlsKeySchedule::NextTrafficSecret(const TlsCipherSuite& suite, const TlsSecret& current, TlsSecret& next) {
    if (current.Size() != suite.HashSize()) return false;
    TlsSecret updated;
    if (!ExpandLabel(suite, current, "traffic upd", updated.MutableData(), suite.HashSize())) return false;
    updated.SetSize(suite.HashSize());
    next = updated;
    return true;
}

bool TlsKeySchedule::Tls12Keys(const TlsCipherSuite& suite, const TlsSecret& masterSecret,
                               const TlsClientRandom& clientRandom, const TlsClientRandom& serverRandom,
                               TlsRecordKeys& client, TlsRecordKeys& server) {
    constexpr std::string_view kLabel = "key expansion";
    std::vector<uint8_t> seed(kLabel.begin(), kLabel.end());
    seed.insert(seed.end(), serverRandom.begin(), serverRandom.end());
    seed.insert(seed.end(), clientRandom.begin(), clientRandom.end());

    // AEAD suites have no MAC keys: the block is the two write keys, then the two fixed IVs.
    const size_t keySize = suite.KeySize();
    const size_t ivSize = suite.FixedIvSize();
    std::array<uint8_t, 2 * 32 + 2 * 12> block{};
    const size_t blockSize = 2 * keySize + 2 * ivSize;
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, const_cast<uint8_t*>(masterSecret.Bytes().data()),
                                          masterSecret.Size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed.data(), seed.size()),
        OSSL_PARAM_construct_end(),
    };
    const bool derived = masterSecret.Size() == 48 && Derive("TLS1-PRF", parameters, block.data(), blockSize);
    if (derived) {
        const uint8_t* at = block.data();
        client.key.Assign({at, keySize});
        server.key.Assign({at + keySize, keySize});
        client.iv.Assign({at + 2 * keySize, ivSize});
        server.iv.Assign({at + 2 * keySize + ivSize, ivSize});
    }
    OPENSSL_cleanse(block.data(), block.size());
    return derived;
}

}  // namespace tarnwick

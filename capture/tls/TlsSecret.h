// SPDX-License-Identifier: GPL-3.0-or-later
// One secret from the key log; its bytes are wiped when it goes.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tarnwick {

// Secrets live only in memory: never written, logged or printed. Each holder wipes its copy.
class TlsSecret {
public:
    static constexpr size_t kMaxSize = 64;

    TlsSecret() = default;
    TlsSecret(const TlsSecret& other) { *this = other; }
    TlsSecret& operator=(const TlsSecret& other) {
        if (this != &other) {
            bytes_ = other.bytes_;
            size_ = other.size_;
        }
        return *this;
    }
    ~TlsSecret() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

    // False (and left empty) when bytes do not fit.
    bool Assign(std::span<const uint8_t> bytes) {
        Clear();
        if (bytes.size() > kMaxSize) return false;
        std::memcpy(bytes_.data(), bytes.data(), bytes.size());
        size_ = bytes.size();
        return true;
    }
    void Clear() {
        OPENSSL_cleanse(bytes_.data(), bytes_.size());
        size_ = 0;
    }
    bool Empty() const { return size_ == 0; }
    size_t Size() const { return size_; }
    std::span<const uint8_t> Bytes() const { return {bytes_.data(), size_}; }
    uint8_t* MutableData() { return bytes_.data(); }
    void SetSize(size_t size) { size_ = size <= kMaxSize ? size : 0; }

private:
    std::array<uint8_t, kMaxSize> bytes_{};
    size_t size_ = 0;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts one direction's handshake-protocol bytes into messages, keeping only the few that are read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

// Handshake messages may span records and records may hold several messages. Messages that decryption
// reads (hellos, encrypted extensions, finished, key update, end of early data) are gathered up to a
// bound; all others (certificates and the like) are passed over without being kept.
class TlsHandshakeReader {
public:
    static constexpr uint8_t kClientHello = 1;
    static constexpr uint8_t kServerHello = 2;
    static constexpr uint8_t kEndOfEarlyData = 5;
    static constexpr uint8_t kEncryptedExtensions = 8;
    static constexpr uint8_t kFinished = 20;
    static constexpr uint8_t kKeyUpdate = 24;
    static constexpr size_t kMaxKeptMessage = 64 * 1024;

    // Calls message(type, body) at the end of every message, in order; body is empty for a message
    // that is passed over. message returns false to stop. False when the bytes cannot be handshake
    // messages (a kept message beyond the bound) or when message stopped.
    template <typename OnMessage>
    bool Feed(std::span<const uint8_t> bytes, OnMessage&& message);

    // True between messages: a record boundary that the protocol requires to fall between messages.
    bool BetweenMessages() const { return headerHave_ == 0; }

private:
    static bool Kept(uint8_t type) {
        return type == kClientHello || type == kServerHello || type == kEndOfEarlyData ||
               type == kEncryptedExtensions || type == kFinished || type == kKeyUpdate;
    }

    uint8_t header_[4] = {};
    size_t headerHave_ = 0;
    size_t bodyLeft_ = 0;
    std::vector<uint8_t> body_;
};

template <typename OnMessage>
bool TlsHandshakeReader::Feed(std::span<const uint8_t> bytes, OnMessage&& message) {
    while (!bytes.empty()) {
        if (headerHave_ < 4) {
            const size_t take = std::min(bytes.size(), 4 - headerHave_);
            for (size_t i = 0; i < take; ++i) header_[headerHave_ + i] = bytes[i];
            headerHave_ += take;
            bytes = bytes.subspan(take);
            if (headerHave_ < 4) return true;
            bodyLeft_ = static_cast<size_t>(header_[1]) << 16 | static_cast<size_t>(header_[2]) << 8 | header_[3];
            body_.clear();
            if (Kept(header_[0]) && bodyLeft_ > kMaxKeptMessage) return false;
        }
        const size_t take = std::min(bytes.size(), bodyLeft_);
        if (Kept(header_[0])) body_.insert(body_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(take));
        bodyLeft_ -= take;
        bytes = bytes.subspan(take);
        if (bodyLeft_ > 0) return true;
        headerHave_ = 0;
        if (!message(header_[0], std::span<const uint8_t>(body_))) return false;
    }
    return true;
}

}  // namespace tarnwick

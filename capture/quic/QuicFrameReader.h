// SPDX-License-Identifier: GPL-3.0-or-later
// Walks the frames of one decrypted QUIC packet and hands on those that carry what is read.
#pragma once

#include <cstdint>
#include <span>

namespace tarnwick {

// CRYPTO and STREAM data, the ends of streams and the connection IDs a side hands out are passed on;
// every other frame (ACK, PADDING, flow control, path probes...) is stepped over by its length.
class QuicFrameReader {
public:
    class Handler {
    public:
        virtual void OnCrypto(uint64_t offset, std::span<const uint8_t> bytes) = 0;
        virtual void OnStream(uint64_t streamId, uint64_t offset, std::span<const uint8_t> bytes, bool fin) = 0;
        virtual void OnResetStream(uint64_t streamId) = 0;
        virtual void OnNewConnectionId(std::span<const uint8_t> connectionId) = 0;
        virtual void OnConnectionClose() = 0;

    protected:
        ~Handler() = default;
    };

    // The largest offset plus length a stream or CRYPTO frame may name (2^62 - 1).
    static constexpr uint64_t kMaxOffset = (uint64_t{1} << 62) - 1;

    // False at the first frame that cannot be read (an unknown type, a field past the payload's end);
    // the frames before it have been handed on.
    static bool Read(std::span<const uint8_t> payload, Handler& handler);
};

}  // namespace tarnwick

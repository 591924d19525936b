// SPDX-License-Identifier: GPL-3.0-or-later
// Decodes the header blocks one side of an HTTP/3 connection sends, with nghttp3's QPACK decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string_view>
#include <vector>

struct nghttp3_qpack_decoder;
struct nghttp3_qpack_stream_context;

namespace tarnwick {

// The side's encoder stream fills a dynamic table that its header blocks refer to; a block that refers
// to entries not yet received is blocked until they come, and then decoded. A decoding error leaves the
// table unknown: the decoder is broken for good.
class QpackDecoder {
public:
    using FieldSink = std::function<void(std::string_view name, std::string_view value)>;
    enum class Result : uint8_t { Decoded, Blocked, Failed };

    // maxTableCapacity: the largest dynamic table the encoder may use; an encoder that sets a larger one
    // breaks the decoder. maxBlocked: blocks that may wait at once.
    QpackDecoder(size_t maxTableCapacity, size_t maxBlocked);
    ~QpackDecoder();
    QpackDecoder(const QpackDecoder&) = delete;
    QpackDecoder& operator=(const QpackDecoder&) = delete;

    // The next bytes of the encoder stream. False when they cannot be read.
    bool ReadEncoderStream(std::span<const uint8_t> bytes);
    // Decodes a whole header block of a stream. Blocked: it waits inside the decoder (its bytes counted
    // in HeldBytes()) until Ready() names the stream.
    Result Decode(int64_t streamId, std::span<const uint8_t> block, const FieldSink& sink);
    // Streams whose blocked block can be decoded now; each is then resumed with Resume().
    std::vector<int64_t> Ready() const;
    Result Resume(int64_t streamId, const FieldSink& sink);
    // A stream that ended or was reset: its blocked block is dropped.
    void Cancel(int64_t streamId);

    bool Broken() const { return decoder_ == nullptr; }
    size_t HeldBytes() const { return heldBytes_; }
    size_t Blocked() const { return blocked_.size(); }

private:
    struct Waiting {
        nghttp3_qpack_stream_context* context = nullptr;
        std::vector<uint8_t> rest;
    };

    Result Run(int64_t streamId, nghttp3_qpack_stream_context* context, std::span<const uint8_t> block,
               const FieldSink& sink);
    void Break();
    // The decoder's own instructions (acknowledgements) are not sent anywhere: they are taken out so
    // that they do not pile up.
    void DrainDecoderStream();

    nghttp3_qpack_decoder* decoder_ = nullptr;
    size_t maxBlocked_;
    std::map<int64_t, Waiting> blocked_;
    size_t heldBytes_ = 0;
};

}  // namespace tarnwick

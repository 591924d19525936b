// SPDX-License-Identifier: GPL-3.0-or-later
// Decodes the header blocks one side of an HTTP/2 connection sends, with nghttp2's HPACK inflater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

struct nghttp2_hd_inflater;

namespace tarnwick {

// HPACK keeps a table that every block of one direction updates, so each direction has its own decoder
// and every block must pass through it, also those whose fields nobody keeps. A decoding error leaves
// the table unknown: the decoder is then broken for good.
class HpackBlockDecoder {
public:
    // The largest dynamic table an encoder is let use, whatever its peer allows.
    static constexpr size_t kMaxTableSize = 64 * 1024;

    using FieldSink = std::function<void(std::string_view name, std::string_view value)>;

    HpackBlockDecoder();
    ~HpackBlockDecoder();
    HpackBlockDecoder(const HpackBlockDecoder&) = delete;
    HpackBlockDecoder& operator=(const HpackBlockDecoder&) = delete;

    // The decoding peer announced a table of this size (SETTINGS_HEADER_TABLE_SIZE); it takes effect at
    // the next block. Only ever raised: blocks encoded before the encoder saw a lower value are in flight.
    void AllowTableSize(size_t bytes);
    size_t AllowedTableSize() const { return allowedTableSize_; }

    // Decodes the next fragment of the current block; last marks the block's end. Each field is handed
    // to sink as it is decoded (valid only during the call). False on a decoding error.
    bool Decode(std::span<const uint8_t> fragment, bool last, const FieldSink& sink);
    bool Broken() const { return inflater_ == nullptr; }

private:
    void Break();

    nghttp2_hd_inflater* inflater_ = nullptr;
    size_t allowedTableSize_;
    size_t appliedTableSize_;
    bool inBlock_ = false;
};

}  // namespace tarnwick

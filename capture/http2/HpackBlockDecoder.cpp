// SPDX-License-Identifier: GPL-3.0-or-later
// Decodes the header blocks one side of an HTTP/2 connection sends, with nghttp2's HPACK inflater.
#include "capture/http2/HpackBlockDecoder.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>

#include "capture/http2/Http2Protocol.h"

namespace tarnwick {

HpackBlockDecoder::HpackBlockDecoder()
    : allowedTableSize_(Http2::kDefaultHeaderTableSize), appliedTableSize_(Http2::kDefaultHeaderTableSize) {
    if (nghttp2_hd_inflate_new(&inflater_) != 0) inflater_ = nullptr;
}

HpackBlockDecoder::~HpackBlockDecoder() {
    Break();
}

void HpackBlockDecoder::Break() {
    if (inflater_) nghttp2_hd_inflate_del(inflater_);
    inflater_ = nullptr;
}

void HpackBlockDecoder::AllowTableSize(size_t bytes) {
    allowedTableSize_ = std::max(allowedTableSize_, std::min(bytes, kMaxTableSize));
}

bool HpackBlockDecoder::Decode(std::span<const uint8_t> fragment, bool last, const FieldSink& sink) {
    if (!inflater_) return false;
    if (!inBlock_ && allowedTableSize_ != appliedTableSize_) {
        // Between blocks only; a raise lets the encoder announce the larger size in its next block.
        if (nghttp2_hd_inflate_change_table_size(inflater_, allowedTableSize_) != 0) {
            Break();
            return false;
        }
        appliedTableSize_ = allowedTableSize_;
    }
    inBlock_ = true;
    const uint8_t* in = fragment.data();
    size_t left = fragment.size();
    for (;;) {
        nghttp2_nv field;
        int flags = 0;
        const ssize_t used = nghttp2_hd_inflate_hd2(inflater_, &field, &flags, in, left, last ? 1 : 0);
        if (used < 0) {
            Break();
            return false;
        }
        in += used;
        left -= static_cast<size_t>(used);
        if (flags & NGHTTP2_HD_INFLATE_EMIT)
            sink(std::string_view(reinterpret_cast<const char*>(field.name), field.namelen),
                 std::string_view(reinterpret_cast<const char*>(field.value), field.valuelen));
        if (flags & NGHTTP2_HD_INFLATE_FINAL) {
            nghttp2_hd_inflate_end_headers(inflater_);
            inBlock_ = false;
            return true;
        }
        if (!(flags & NGHTTP2_HD_INFLATE_EMIT) && left == 0) break;
    }
    if (last) {
        // The block ended inside a field.
        Break();
        return false;
    }
    return true;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts one HTTP/3 byte stream (a request, push or control stream) into frames.
#include "capture/quic/Http3FrameParser.h"

#include <algorithm>

#include "capture/quic/QuicCursor.h"

namespace tarnwick {

bool Http3FrameParser::Feed(std::span<const uint8_t> bytes, Handler& handler) {
    if (failed_ || stopped_) return false;
    while (!bytes.empty()) {
        if (!inFrame_) {
            // The type and the length: two variable-length integers of at most eight bytes each.
            const size_t take = std::min(bytes.size(), sizeof header_ - headerHave_);
            std::copy_n(bytes.begin(), take, header_ + headerHave_);
            const std::span<const uint8_t> header(header_, headerHave_ + take);
            const auto type = QuicCursor::PeekVarInt(header);
            const auto length = type ? QuicCursor::PeekVarInt(header.subspan(type->second)) : std::nullopt;
            if (!type || !length) {
                headerHave_ += take;
                bytes = bytes.subspan(take);
                if (headerHave_ == sizeof header_) return Fail();
                continue;
            }
            const size_t used = type->second + length->second - headerHave_;
            bytes = bytes.subspan(used);
            headerHave_ = 0;
            type_ = type->first;
            left_ = length->first;
            // Frame types HTTP/2 has and HTTP/3 reserves.
            if (type_ == 0x02 || type_ == 0x06 || type_ == 0x08 || type_ == 0x09) return Fail();
            if (Kept(type_) && left_ > maxKeptFrame_) return Fail();
            inFrame_ = true;
            payload_.clear();
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(bytes.size(), left_));
        const auto piece = bytes.first(take);
        bytes = bytes.subspan(take);
        left_ -= take;
        if (type_ == kData) {
            if (!piece.empty() && !handler.OnData(piece)) return Stop();
        } else if (Kept(type_)) {
            payload_.insert(payload_.end(), piece.begin(), piece.end());
        }
        if (left_ > 0) continue;
        inFrame_ = false;
        if (Kept(type_) && !handler.OnFrame(type_, payload_)) return Stop();
        // A large frame's room is not kept for the next one.
        if (payload_.capacity() > kKeptRoom) std::vector<uint8_t>().swap(payload_);
    }
    return true;
}

}  // namespace tarnwick

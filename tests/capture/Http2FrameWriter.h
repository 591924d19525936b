// SPDX-License-Identifier: GPL-3.0-or-later
// Writes HTTP/2 frames for the tests, with header blocks encoded by nghttp2's HPACK deflater.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "capture/http2/Http2Protocol.h"

namespace tarnwick::test {

using Fields = std::vector<std::pair<std::string, std::string>>;

// One side's encoder: its table lives as long as the writer, as on a real connection.
class Http2FrameWriter {
public:
    Http2FrameWriter() { nghttp2_hd_deflate_new(&deflater_, 64 * 1024); }
    ~Http2FrameWriter() { nghttp2_hd_deflate_del(deflater_); }
    Http2FrameWriter(const Http2FrameWriter&) = delete;
    Http2FrameWriter& operator=(const Http2FrameWriter&) = delete;

    // Lets the encoder use a larger table from the next block on, as the peer's settings allow.
    void UseTableSize(size_t bytes) { nghttp2_hd_deflate_change_table_size(deflater_, bytes); }

    std::string Block(const Fields& fields) {
        std::vector<nghttp2_nv> list;
        for (const auto& [name, value] : fields)
            list.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
                            reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
                            NGHTTP2_NV_FLAG_NONE});
        std::string block(nghttp2_hd_deflate_bound(deflater_, list.data(), list.size()), '\0');
        const auto size = nghttp2_hd_deflate_hd(deflater_, reinterpret_cast<uint8_t*>(block.data()), block.size(),
                                                list.data(), list.size());
        block.resize(size < 0 ? 0 : static_cast<size_t>(size));
        return block;
    }

    static std::string Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload) {
        const auto length = static_cast<uint32_t>(payload.size());
        std::string frame{static_cast<char>(length >> 16), static_cast<char>(length >> 8), static_cast<char>(length),
                          static_cast<char>(type), static_cast<char>(flags)};
        frame += Be32(stream);
        return frame + payload;
    }
    static std::string Be32(uint32_t value) {
        return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                static_cast<char>(value)};
    }
    static std::string Settings(const std::vector<std::pair<uint16_t, uint32_t>>& settings = {}) {
        std::string payload;
        for (const auto& [id, value] : settings)
            payload += std::string{static_cast<char>(id >> 8), static_cast<char>(id)} + Be32(value);
        return Frame(Http2::kSettings, 0, 0, payload);
    }
    static std::string Data(uint32_t stream, const std::string& bytes, bool endStream = false) {
        return Frame(Http2::kData, endStream ? Http2::kEndStream : 0, stream, bytes);
    }
    // A block longer than the default frame size continues in CONTINUATION frames.
    std::string Headers(uint32_t stream, const Fields& fields, bool endStream = false) {
        const std::string block = Block(fields);
        std::string frames;
        for (size_t at = 0; at == 0 || at < block.size(); at += Http2::kDefaultMaxFrameSize) {
            const uint8_t flags = (at + Http2::kDefaultMaxFrameSize >= block.size() ? Http2::kEndHeaders : 0) |
                                  (at == 0 && endStream ? Http2::kEndStream : 0);
            frames += Frame(at == 0 ? Http2::kHeaders : Http2::kContinuation, flags, stream,
                            block.substr(at, Http2::kDefaultMaxFrameSize));
        }
        return frames;
    }

private:
    nghttp2_hd_deflater* deflater_ = nullptr;
};

}  // namespace tarnwick::test

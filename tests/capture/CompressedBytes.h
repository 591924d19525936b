// SPDX-License-Identifier: GPL-3.0-or-later
// gzip and zstd compression of test bytes, as the gzip and zstd tools write them.
#pragma once

#include <zlib.h>
#include <zstd.h>

#include <string>

namespace tarnwick::testing {

// One gzip member per piece: pieces > 1 gives a file like cat a.gz b.gz.
inline std::string GzipBytes(const std::string& bytes, int pieces = 1) {
    std::string out;
    const size_t step = bytes.size() / static_cast<size_t>(pieces) + 1;
    for (size_t at = 0; at < bytes.size(); at += step) {
        z_stream stream{};
        if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
        const std::string piece = bytes.substr(at, step);
        std::string member(deflateBound(&stream, piece.size()), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
        stream.avail_in = static_cast<uInt>(piece.size());
        stream.next_out = reinterpret_cast<Bytef*>(member.data());
        stream.avail_out = static_cast<uInt>(member.size());
        const int status = deflate(&stream, Z_FINISH);
        member.resize(stream.total_out);
        deflateEnd(&stream);
        if (status != Z_STREAM_END) return {};
        out += member;
    }
    return out;
}

// One zstd frame per piece, like zstd's output for concatenated inputs.
inline std::string ZstdBytes(const std::string& bytes, int pieces = 1) {
    std::string out;
    const size_t step = bytes.size() / static_cast<size_t>(pieces) + 1;
    for (size_t at = 0; at < bytes.size(); at += step) {
        const std::string piece = bytes.substr(at, step);
        std::string frame(ZSTD_compressBound(piece.size()), '\0');
        const size_t size = ZSTD_compress(frame.data(), frame.size(), piece.data(), piece.size(), 3);
        if (ZSTD_isError(size)) return {};
        frame.resize(size);
        out += frame;
    }
    return out;
}

}  // namespace tarnwick::testing

// SPDX-License-Identifier: GPL-3.0-or-later
// Undoes the gzip or zstd compression of a capture as its bytes arrive, in bounded memory.
#include "capture/source/StreamDecompressor.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>

namespace tarnwick {

struct StreamDecompressor::Decoder {
    z_stream gzip{};
    bool gzipReady = false;
    bool memberEnded = false;
    ZSTD_DStream* zstd = nullptr;

    ~Decoder() {
        if (gzipReady) inflateEnd(&gzip);
        if (zstd) ZSTD_freeDStream(zstd);
    }
};

StreamDecompressor::Format StreamDecompressor::Detect(std::span<const uint8_t> first) {
    if (first.size() >= 2 && first[0] == 0x1F && first[1] == 0x8B) return Format::Gzip;
    if (first.size() >= 4 && first[0] == 0x28 && first[1] == 0xB5 && first[2] == 0x2F && first[3] == 0xFD)
        return Format::Zstd;
    return Format::Plain;
}

const char* StreamDecompressor::Name(Format format) {
    switch (format) {
        case Format::Gzip:
            return "gzip";
        case Format::Zstd:
            return "zstd";
        case Format::Plain:
            break;
    }
    return "plain";
}

StreamDecompressor::StreamDecompressor(Format format) : format_(format), decoder_(std::make_unique<Decoder>()) {
    if (format_ == Format::Gzip) {
        // 16 + the largest window: gzip framing only, its header and checksum checked.
        decoder_->gzipReady = inflateInit2(&decoder_->gzip, 16 + MAX_WBITS) == Z_OK;
        if (!decoder_->gzipReady) Fail("cannot start the gzip decoder");
    } else if (format_ == Format::Zstd) {
        decoder_->zstd = ZSTD_createDStream();
        if (!decoder_->zstd ||
            ZSTD_isError(ZSTD_DCtx_setParameter(decoder_->zstd, ZSTD_d_windowLogMax, kMaxZstdWindowLog)))
            Fail("cannot start the zstd decoder");
    } else {
        Fail("not compressed");
    }
}

StreamDecompressor::~StreamDecompressor() = default;

bool StreamDecompressor::Fail(const std::string& why) {
    if (error_.empty())
        error_ = std::string("its ") + Name(format_) + " compression is damaged at compressed byte " +
                 std::to_string(compressed_) + ": " + why;
    return false;
}

bool StreamDecompressor::Damaged(const std::string& why, std::span<const uint8_t>& input, size_t taken,
                                 size_t written) {
    compressed_ += taken;
    Fail(why);
    if (written == 0) return false;
    // What the damaged piece still gave goes out first (a bad checksum comes after all the data); the
    // next call says what is wrong.
    decompressed_ += written;
    input = input.subspan(taken);
    return true;
}

bool StreamDecompressor::Decompress(std::span<const uint8_t>& input, std::span<uint8_t> output, size_t& written) {
    written = 0;
    if (!error_.empty()) return false;
    // The libraries count in 32-bit lengths (zlib) or take any; pieces this size keep both exact.
    const size_t inputSize = std::min<size_t>(input.size(), UINT_MAX);
    const size_t outputSize = std::min<size_t>(output.size(), UINT_MAX);
    size_t taken = 0;
    if (format_ == Format::Gzip) {
        z_stream& gzip = decoder_->gzip;
        if (decoder_->memberEnded) {
            if (inputSize == 0) return true;
            // Another member may follow; anything else does not belong to a gzip file.
            if (input[0] != 0x1F) return Fail("data after the end of the compressed stream");
            inflateReset(&gzip);
            decoder_->memberEnded = false;
            atStreamEnd_ = false;
        }
        gzip.next_in = const_cast<Bytef*>(input.data());
        gzip.avail_in = static_cast<uInt>(inputSize);
        gzip.next_out = output.data();
        gzip.avail_out = static_cast<uInt>(outputSize);
        const int status = inflate(&gzip, Z_NO_FLUSH);
        taken = inputSize - gzip.avail_in;
        written = outputSize - gzip.avail_out;
        if (status == Z_STREAM_END) {
            decoder_->memberEnded = true;
            atStreamEnd_ = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            // Z_BUF_ERROR only says that no progress was possible: more input is needed.
            return Damaged(gzip.msg ? gzip.msg : "status " + std::to_string(status), input, taken, written);
        }
    } else {
        ZSTD_inBuffer in{input.data(), inputSize, 0};
        ZSTD_outBuffer out{output.data(), outputSize, 0};
        const size_t status = ZSTD_decompressStream(decoder_->zstd, &out, &in);
        taken = in.pos;
        written = out.pos;
        if (ZSTD_isError(status)) return Damaged(ZSTD_getErrorName(status), input, taken, written);
        // 0: a frame is decoded and flushed; the next bytes, if any, begin another frame. A call that
        // moved nothing (asked to flush at a frame's end) leaves that as it was.
        if (status == 0)
            atStreamEnd_ = true;
        else if (taken > 0 || written > 0)
            atStreamEnd_ = false;
    }
    // A decoder that neither takes nor gives while it has both would keep a caller's loop turning.
    if (taken == 0 && written == 0 && inputSize > 0 && outputSize > 0) return Fail("the decoder makes no progress");
    compressed_ += taken;
    decompressed_ += written;
    input = input.subspan(taken);
    return true;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the gzip and zstd decoding of compressed captures, fed in pieces of every size into room of
// every size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "capture/source/StreamDecompressor.h"

// Input: a byte that picks the piece size (low six bits), the output room (bit 6: one byte, else 64 KiB)
// and, where the rest has no signature, the decoder (bit 7: gzip, else zstd); then the compressed bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using tarnwick::StreamDecompressor;
    if (size < 1) return 0;
    const uint8_t control = data[0];
    const std::span<const uint8_t> compressed(data + 1, size - 1);
    StreamDecompressor::Format format = StreamDecompressor::Detect(compressed);
    if (format == StreamDecompressor::Format::Plain)
        format = control & 0x80 ? StreamDecompressor::Format::Gzip : StreamDecompressor::Format::Zstd;
    StreamDecompressor decompressor(format);
    const size_t piece = 1 + (control & 0x3F) * 97u;
    std::vector<uint8_t> room(control & 0x40 ? 1 : 65536);
    // A small input may stand for a great deal of output; this much shows every path.
    constexpr size_t kMaxOutput = 8u << 20;
    size_t total = 0;
    for (size_t at = 0; at <= compressed.size(); at += piece) {
        std::span<const uint8_t> input = compressed.subspan(at, std::min(piece, compressed.size() - at));
        for (;;) {
            const bool hadInput = !input.empty();
            size_t written = 0;
            if (!decompressor.Decompress(input, room, written)) return 0;
            // Every byte given is read, so a length past the room shows under the sanitizer.
            unsigned sum = 0;
            for (size_t i = 0; i < written; ++i) sum += room[i];
            total += written + (sum & 0);
            if (total > kMaxOutput) return 0;
            if (written == 0 && !hadInput) break;
        }
    }
    return static_cast<int>(decompressor.AtStreamEnd() & 0);
}

// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the reader of what ffmpeg says while it copies a stream (its log echoes the
// addresses a sniffed playlist names), whole and in small pieces: the figures must not depend on where the
// reads split, and what it keeps stays within its bounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/FfmpegProgressReader.h"

using tarnwick::FfmpegProgressReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FfmpegProgressReader whole, pieces;
    whole.ReadLog(text);
    whole.ReadProgress(text);
    for (size_t at = 0; at < size; at += 3) {
        pieces.ReadLog(text.substr(at, 3));
        pieces.ReadProgress(text.substr(at, 3));
    }
    if (whole.LastLogLine() != pieces.LastLogLine() || whole.SkippedInside() != pieces.SkippedInside() ||
        whole.SkippedOnlyAtEnd() != pieces.SkippedOnlyAtEnd() || whole.DurationUs() != pieces.DurationUs() ||
        whole.CopiedUs() != pieces.CopiedUs() || whole.BytesWritten() != pieces.BytesWritten())
        std::abort();
    if (whole.LastLogLine().size() > FfmpegProgressReader::kMaxLineBytes) std::abort();
    if (whole.SkippedOnlyAtEnd() && whole.SkippedInside()) std::abort();
    return 0;
}

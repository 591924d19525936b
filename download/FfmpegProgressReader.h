// SPDX-License-Identifier: GPL-3.0-or-later
// Reads what ffmpeg says while it copies a stream: its -progress lines and the input's duration from its log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class FfmpegProgressReader {
public:
    // A longer line is dropped whole: ffmpeg's own lines are short, and its log may echo sniffed text.
    static constexpr size_t kMaxLineBytes = 4096;
    // Representations of a DASH stream followed; one beyond them makes every skipped fragment a hole.
    static constexpr size_t kMaxRepresentations = 64;

    // The -progress output ("key=value" lines), in pieces as they arrive.
    void ReadProgress(std::string_view bytes);
    // The log (standard error), in pieces as they arrive.
    void ReadLog(std::string_view bytes);

    // Bytes of the output file so far.
    int64_t BytesWritten() const { return bytesWritten_; }
    // Stream time copied so far, in microseconds.
    int64_t CopiedUs() const { return copiedUs_; }
    // The input's duration from the first "Duration:" line that names one; nothing for a live stream.
    std::optional<int64_t> DurationUs() const { return durationUs_; }
    // ffmpeg said "progress=end".
    bool Ended() const { return ended_; }
    // The last non-empty log line of level info or above ("[level]" tags removed): what ffmpeg said before it
    // gave up.
    const std::string& LastLogLine() const { return lastLogLine_; }
    // The first log line in which ffmpeg said it skipped a segment it could not fetch; empty when none.
    // ffmpeg then still ends with status 0, although the copy may have a hole.
    const std::string& SkippedSegmentLine() const { return skippedSegmentLine_; }
    // A skipped segment with later segments of the same playlist copied after it: the copy has a hole. Every
    // segment an HLS playlist lists exists, so any segment it skips counts.
    bool SkippedInside() const;
    // Segments were skipped only after the last one copied of their DASH representation. ffmpeg 5.1 asks a
    // static manifest of fixed-length segments for one segment past its end, which the server cannot have;
    // whether the copy is whole must then be judged by what was copied (CopiedUs against DurationUs).
    bool SkippedOnlyAtEnd() const { return !skippedSegmentLine_.empty() && !SkippedInside(); }

    // "Duration: 01:02:03.45, ..." anywhere in the line -> microseconds; nothing for "N/A" or other text.
    static std::optional<int64_t> ParseDuration(std::string_view line);

private:
    struct LineBuffer {
        std::string line;
        bool overlong = false;
    };
    template <class OnLine>
    static void Split(LineBuffer& buffer, std::string_view bytes, OnLine onLine);
    void OnProgressLine(std::string_view line);
    void OnLogLine(std::string_view line);
    // The DASH reader's "DASH request for url '...'" (with -loglevel verbose) and its failures.
    void OnFragmentRequest(std::string_view url);
    void OnFragmentFailed();
    void SettlePendingFragment();

    LineBuffer progress_;
    LineBuffer log_;
    int64_t bytesWritten_ = 0;
    int64_t copiedUs_ = 0;
    std::optional<int64_t> durationUs_;
    bool ended_ = false;
    std::string lastLogLine_;
    std::string skippedSegmentLine_;
    bool hlsSkipped_ = false;
    bool holeFound_ = false;
    // The fragment asked for last, by the representation it belongs to; settled as fetched when the next
    // request comes without a failure between.
    std::optional<std::string> pendingFragment_;
    std::map<std::string, bool> fragmentFailed_;  // representation -> a fragment of it was skipped
    bool tooManyRepresentations_ = false;
};

}  // namespace tarnwick

// Reads what ffmpeg says while it copies a stream: its -progress lines and the input's duration from its log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class FfmpegProgressReader {
public:
    // A longer line is dropped whole: ffmpeg's own lines are short, and its log may echo sniffed text.
    static constexpr size_t kMaxLineBytes = 4096;

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
    // The last non-empty log line: what ffmpeg said before it gave up.
    const std::string& LastLogLine() const { return lastLogLine_; }
    // The first log line in which ffmpeg said it skipped a segment it could not fetch; empty when none.
    // ffmpeg then still ends with status 0, although the copy has a hole.
    const std::string& SkippedSegmentLine() const { return skippedSegmentLine_; }

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

    LineBuffer progress_;
    LineBuffer log_;
    int64_t bytesWritten_ = 0;
    int64_t copiedUs_ = 0;
    std::optional<int64_t> durationUs_;
    bool ended_ = false;
    std::string lastLogLine_;
    std::string skippedSegmentLine_;
};

}  // namespace tarnwick

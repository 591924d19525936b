// Reads what ffmpeg says while it copies a stream: its -progress lines and the input's duration from its log.
#include "download/FfmpegProgressReader.h"

namespace tarnwick {
namespace {

// A decimal number of at most 18 digits (so it cannot overflow), the whole text.
std::optional<int64_t> Number(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Exactly `count` digits at text[at]; at moves past them.
std::optional<int64_t> Digits(std::string_view text, size_t& at, size_t count) {
    if (at > text.size() || text.size() - at < count) return std::nullopt;
    const auto value = Number(text.substr(at, count));
    if (value) at += count;
    return value;
}

}  // namespace

template <class OnLine>
void FfmpegProgressReader::Split(LineBuffer& buffer, std::string_view bytes, OnLine onLine) {
    for (char c : bytes) {
        if (c == '\n' || c == '\r') {
            if (!buffer.overlong) onLine(std::string_view(buffer.line));
            buffer.line.clear();
            buffer.overlong = false;
        } else if (buffer.line.size() < kMaxLineBytes) {
            buffer.line += c;
        } else {
            buffer.overlong = true;
        }
    }
}

void FfmpegProgressReader::ReadProgress(std::string_view bytes) {
    Split(progress_, bytes, [this](std::string_view line) { OnProgressLine(line); });
}

void FfmpegProgressReader::ReadLog(std::string_view bytes) {
    Split(log_, bytes, [this](std::string_view line) { OnLogLine(line); });
}

void FfmpegProgressReader::OnProgressLine(std::string_view line) {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    // "N/A" and other non-numbers leave the last figure standing.
    if (key == "total_size") {
        if (const auto number = Number(value)) bytesWritten_ = *number;
    } else if (key == "out_time_us") {
        if (const auto number = Number(value)) copiedUs_ = *number;
    } else if (key == "progress") {
        ended_ = value == "end";
    }
}

void FfmpegProgressReader::OnLogLine(std::string_view line) {
    if (line.find_first_not_of(' ') == std::string_view::npos) return;
    lastLogLine_.assign(line.substr(line.find_first_not_of(' ')));
    if (!durationUs_) durationUs_ = ParseDuration(line);
    // The HLS reader says "segment", the DASH reader "fragment".
    if (skippedSegmentLine_.empty() && (line.find("Failed to open segment") != std::string_view::npos ||
                                        line.find("Failed to open fragment") != std::string_view::npos))
        skippedSegmentLine_ = lastLogLine_;
}

std::optional<int64_t> FfmpegProgressReader::ParseDuration(std::string_view line) {
    constexpr std::string_view kLabel = "Duration: ";
    const size_t label = line.find(kLabel);
    if (label == std::string_view::npos) return std::nullopt;
    size_t at = label + kLabel.size();
    // HH:MM:SS, then an optional fraction of up to six digits.
    const auto hours = Digits(line, at, 2);
    if (!hours || at >= line.size() || line[at++] != ':') return std::nullopt;
    const auto minutes = Digits(line, at, 2);
    if (!minutes || at >= line.size() || line[at++] != ':') return std::nullopt;
    const auto seconds = Digits(line, at, 2);
    if (!seconds || *minutes > 59 || *seconds > 59) return std::nullopt;
    int64_t fractionUs = 0;
    if (at < line.size() && line[at] == '.') {
        ++at;
        int64_t scale = 100000;
        for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
            fractionUs += (line[at] - '0') * scale;
            scale /= 10;
        }
    }
    return ((*hours * 60 + *minutes) * 60 + *seconds) * 1000000 + fractionUs;
}

}  // namespace tarnwick

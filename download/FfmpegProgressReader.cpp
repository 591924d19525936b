// SPDX-License-Identifier: GPL-3.0-or-later
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

// "-loglevel level+..." puts "[level] " before the message, after any "[context @ 0x...] ".
constexpr std::string_view kQuietLevels[] = {"[verbose] ", "[debug] ", "[trace] "};
constexpr std::string_view kAllLevels[] = {"[quiet] ", "[panic] ",   "[fatal] ", "[error] ", "[warning] ",
                                           "[info] ",  "[verbose] ", "[debug] ", "[trace] "};

// Removes the level tag; true when it says the line is below info (ffmpeg's chatter, not its verdict).
bool StripLevel(std::string& line) {
    for (std::string_view tag : kAllLevels) {
        const size_t at = line.find(tag);
        // The tag follows the context, which is "[name @ 0x...] ", or starts the line.
        if (at == std::string::npos || (at != 0 && (at < 2 || line.compare(at - 2, 2, "] ") != 0))) continue;
        line.erase(at, tag.size());
        for (std::string_view quiet : kQuietLevels)
            if (quiet == tag) return true;
        return false;
    }
    return false;
}

// The representation a fragment's address belongs to: the address without query, its last run of digits
// before the extension of the last path segment (the fragment's number or time) replaced.
// "chunk-stream0-00005.m4s" and "chunk-stream0-00006.m4s" are one representation, "chunk-stream1-00005.m4s"
// another.
std::string RepresentationOf(std::string_view url) {
    url = url.substr(0, url.find_first_of("?#"));
    const size_t segmentStart = url.rfind('/') == std::string_view::npos ? 0 : url.rfind('/') + 1;
    const size_t dot = url.rfind('.');
    size_t end = dot != std::string_view::npos && dot > segmentStart ? dot : url.size();
    while (end > segmentStart && !(url[end - 1] >= '0' && url[end - 1] <= '9')) --end;
    size_t begin = end;
    while (begin > segmentStart && url[begin - 1] >= '0' && url[begin - 1] <= '9') --begin;
    if (begin == end) return std::string(url);
    return std::string(url.substr(0, begin)) + "#" + std::string(url.substr(end));
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

void FfmpegProgressReader::OnLogLine(std::string_view rawLine) {
    if (rawLine.find_first_not_of(' ') == std::string_view::npos) return;
    std::string line(rawLine.substr(rawLine.find_first_not_of(' ')));
    const bool chatter = StripLevel(line);
    if (line.find_first_not_of(' ') == std::string::npos) return;
    constexpr std::string_view kRequest = "DASH request for url '";
    if (const size_t at = line.find(kRequest); chatter && at != std::string::npos) {
        const size_t start = at + kRequest.size();
        const size_t end = line.rfind('\'');
        if (end != std::string::npos && end > start)
            OnFragmentRequest(std::string_view(line).substr(start, end - start));
        return;
    }
    if (chatter) return;
    lastLogLine_ = line;
    if (!durationUs_) durationUs_ = ParseDuration(line);
    // The HLS reader says "segment", the DASH reader "fragment".
    const bool hls = line.find("Failed to open segment") != std::string::npos;
    const bool dash = line.find("Failed to open fragment") != std::string::npos;
    if (!hls && !dash) return;
    if (skippedSegmentLine_.empty()) skippedSegmentLine_ = lastLogLine_;
    if (hls) hlsSkipped_ = true;
    if (dash) OnFragmentFailed();
}

void FfmpegProgressReader::SettlePendingFragment() {
    if (!pendingFragment_) return;
    // Fetched after a skipped fragment of the same representation: a hole in the middle.
    const auto known = fragmentFailed_.find(*pendingFragment_);
    if (known != fragmentFailed_.end() && known->second) holeFound_ = true;
    pendingFragment_.reset();
}

void FfmpegProgressReader::OnFragmentRequest(std::string_view url) {
    SettlePendingFragment();
    std::string representation = RepresentationOf(url);
    if (fragmentFailed_.find(representation) == fragmentFailed_.end()) {
        if (fragmentFailed_.size() >= kMaxRepresentations) {
            tooManyRepresentations_ = true;
            return;
        }
        fragmentFailed_.emplace(representation, false);
    }
    pendingFragment_ = std::move(representation);
}

void FfmpegProgressReader::OnFragmentFailed() {
    // A failure with no request seen before it cannot be placed: it counts as a hole.
    if (!pendingFragment_) {
        holeFound_ = true;
        return;
    }
    fragmentFailed_[*pendingFragment_] = true;
    pendingFragment_.reset();
}

bool FfmpegProgressReader::SkippedInside() const {
    if (skippedSegmentLine_.empty()) return false;
    if (hlsSkipped_ || holeFound_ || tooManyRepresentations_) return true;
    // The fragment asked for last has not failed so far: it was fetched.
    if (pendingFragment_) {
        const auto known = fragmentFailed_.find(*pendingFragment_);
        if (known != fragmentFailed_.end() && known->second) return true;
    }
    return false;
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

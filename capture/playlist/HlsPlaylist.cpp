// SPDX-License-Identifier: GPL-3.0-or-later
// What an HLS playlist names: the variant and rendition playlists of a master playlist, or the
// segments of a media playlist, as the playlist writes them (relative or absolute).
#include "capture/playlist/HlsPlaylist.h"

namespace tarnwick {
namespace {

// The sum of the segments' durations stops growing here (a hundred years).
constexpr int64_t kMaxDurationUs = int64_t{100} * 365 * 86400 * 1'000'000;

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// "#EXTINF:9.97," -> 9970000; nothing for a value that is not digits with one optional point. Values beyond
// a day count as none: no segment lasts that long, and the sum stays far from overflowing.
std::optional<int64_t> SegmentDurationUs(std::string_view value) {
    value = Trim(value.substr(0, value.find(',')));
    int64_t whole = 0;
    size_t at = 0;
    for (; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
        whole = whole * 10 + (value[at] - '0');
        if (whole > 86400) return std::nullopt;
    }
    if (at == 0) return std::nullopt;
    int64_t fractionUs = 0;
    if (at < value.size()) {
        if (value[at++] != '.') return std::nullopt;
        for (int64_t scale = 100000; at < value.size(); ++at, scale /= 10) {
            if (value[at] < '0' || value[at] > '9') return std::nullopt;
            fractionUs += (value[at] - '0') * scale;
        }
    }
    return whole * 1'000'000 + fractionUs;
}

}  // namespace

std::optional<std::string_view> HlsPlaylist::Attribute(std::string_view attributes, std::string_view name) {
    size_t at = 0;
    while (at < attributes.size()) {
        const size_t equals = attributes.find('=', at);
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view key = Trim(attributes.substr(at, equals - at));
        size_t valueStart = equals + 1, valueEnd;
        std::string_view value;
        if (valueStart < attributes.size() && attributes[valueStart] == '"') {
            const size_t close = attributes.find('"', valueStart + 1);
            if (close == std::string_view::npos) return std::nullopt;  // an unclosed quote ends the list
            value = attributes.substr(valueStart + 1, close - valueStart - 1);
            valueEnd = close + 1;
        } else {
            valueEnd = std::min(attributes.find(',', valueStart), attributes.size());
            value = Trim(attributes.substr(valueStart, valueEnd - valueStart));
        }
        if (key == name) return value;
        const size_t comma = attributes.find(',', valueEnd);
        if (comma == std::string_view::npos) return std::nullopt;
        at = comma + 1;
    }
    return std::nullopt;
}

std::optional<HlsPlaylist> HlsPlaylist::Parse(std::string_view text) {
    if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!StartsWith(text, "#EXTM3U")) return std::nullopt;
    HlsPlaylist playlist;
    bool nextIsPlaylist = false;
    std::string_view initialisation;  // the section that the segments from here on need
    auto add = [&playlist](std::vector<std::string>& names, std::string_view name) {
        if (!name.empty() && playlist.playlists.size() + playlist.segments.size() < kMaxNames) names.emplace_back(name);
    };
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty()) continue;
        if (line[0] != '#') {
            // A URI line: the playlist that a stream info tag announced, else a segment.
            if (nextIsPlaylist && playlist.firstVariant.empty()) playlist.firstVariant = line;
            if (!nextIsPlaylist && playlist.firstSegment.empty()) {
                playlist.firstSegment = line;
                playlist.firstInitialisation = initialisation;
            }
            add(nextIsPlaylist ? playlist.playlists : playlist.segments, line);
            nextIsPlaylist = false;
            continue;
        }
        if (StartsWith(line, "#EXT-X-STREAM-INF:")) {
            playlist.master = true;
            nextIsPlaylist = true;
        } else if (StartsWith(line, "#EXT-X-MEDIA:") || StartsWith(line, "#EXT-X-I-FRAME-STREAM-INF:")) {
            playlist.master = true;
            if (const auto uri = Attribute(line.substr(line.find(':') + 1), "URI")) add(playlist.playlists, *uri);
        } else if (StartsWith(line, "#EXT-X-MAP:")) {
            if (const auto uri = Attribute(line.substr(line.find(':') + 1), "URI")) {
                add(playlist.segments, *uri);
                initialisation = *uri;
            }
        } else if (StartsWith(line, "#EXTINF:")) {
            if (const auto duration = SegmentDurationUs(line.substr(8));
                duration && playlist.durationUs < kMaxDurationUs)
                playlist.durationUs += *duration;
        } else if (line == "#EXT-X-ENDLIST") {
            playlist.ended = true;
        }
    }
    return playlist;
}

}  // namespace tarnwick

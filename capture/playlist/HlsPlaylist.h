// SPDX-License-Identifier: GPL-3.0-or-later
// What an HLS playlist names: the variant and rendition playlists of a master playlist, or the
// segments of a media playlist, as the playlist writes them (relative or absolute).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct HlsPlaylist {
    // More names than this in one playlist are left out: the stream is still counted by the rest.
    static constexpr size_t kMaxNames = 100000;

    bool master = false;                 // names other playlists (EXT-X-STREAM-INF and the like)
    std::vector<std::string> playlists;  // a master playlist's variant, rendition and I-frame playlists
    std::vector<std::string> segments;   // a media playlist's segments and initialisation sections
    // A master playlist's first variant (EXT-X-STREAM-INF).
    std::string firstVariant;
    // A media playlist's first segment, and the initialisation section it needs (empty when none).
    std::string firstSegment;
    std::string firstInitialisation;
    // The sum of its segments' durations (EXTINF), in microseconds; ended: EXT-X-ENDLIST, no more follow.
    int64_t durationUs = 0;
    bool ended = false;

    // Nothing when the text does not begin with "#EXTM3U" (after an optional byte order mark).
    static std::optional<HlsPlaylist> Parse(std::string_view text);

    // The value of attribute `name` in a tag's attribute list (NAME=VALUE,NAME="VALUE",...), quotes
    // removed; nothing when it is not there.
    static std::optional<std::string_view> Attribute(std::string_view attributes, std::string_view name);
};

}  // namespace tarnwick

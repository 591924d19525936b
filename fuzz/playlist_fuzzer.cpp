// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: playlist text as HLS and as DASH, as names a stream counts, and as the content types and
// addresses that tell a playlist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "capture/playlist/AddressTemplate.h"
#include "capture/playlist/DashManifest.h"
#include "capture/playlist/HlsPlaylist.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/playlist/UrlResolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    // A copy of exactly the input's bytes, so a read past them is caught by the sanitizers.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string base = "host:8080/show/list";

    StreamTracker::Limits limits;
    limits.maxNameBytes = 4096;
    StreamTracker tracker(limits);
    tracker.TakePlaylist(base + ".m3u8", "http", StreamTracker::Kind::Hls, text);
    tracker.TakePlaylist(base + ".mpd", "https", StreamTracker::Kind::Dash, text);
    // Every line as an address a player might ask for, and as a template.
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = std::string_view(text).substr(at, end - at);
        const std::string resolved = UrlResolver::Resolve(base + ".m3u8", line);
        if (const auto growth = tracker.OnAnswer(resolved, static_cast<int64_t>(line.size()), std::nullopt))
            if (growth->segments <= 0 || growth->bytes < 0) std::abort();
        if (const auto pattern = AddressTemplate::Compile(line)) (void)pattern->Matches(resolved);
        // Every answer's content type and address are asked whether they are a playlist.
        (void)StreamTracker::PlaylistKind(line, line);
        // And as a manifest's duration.
        if (const auto duration = DashManifest::ParseDuration(line); duration && *duration < 0) std::abort();
        at = end + 1;
    }

    return 0;
}

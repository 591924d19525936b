// Fuzz target: playlist text as HLS and as DASH, as an answer's bytes, as names a stream counts, and as
// the content types and addresses that tell a playlist.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "capture/playlist/AddressTemplate.h"
#include "capture/playlist/DashManifest.h"
#include "capture/playlist/HlsPlaylist.h"
#include "capture/playlist/PlaylistBodyReader.h"
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
    tracker.TakePlaylist(base + ".m3u8", StreamTracker::Kind::Hls, text);
    tracker.TakePlaylist(base + ".mpd", StreamTracker::Kind::Dash, text);
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
        at = end + 1;
    }

    // The same bytes as an answer, in pieces of a size the input chooses.
    const size_t piece = size == 0 ? 1 : 1 + data[0] % 64;
    size_t whole = 0;
    PlaylistBodyReader reader(1 << 16, [&whole](std::string body) { whole = body.size() + 1; });
    for (size_t offset = 0; offset < size && !reader.Done(); offset += piece)
        reader.OnData(StreamDirection::ClientToServer, {data + offset, std::min(piece, size - offset)}, 0);
    if (!reader.Done()) reader.OnEnd(StreamEnd::Closed);
    if (whole > (1 << 16) + 1) std::abort();
    return 0;
}

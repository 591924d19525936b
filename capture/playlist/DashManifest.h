// What a DASH manifest names: each representation's segments as address templates or plain addresses,
// resolved against the manifest's address and its BaseURLs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

struct DashManifest {
    // More names than this are left out; deeper nesting than this ends the reading (no manifest nests
    // more than a handful of levels).
    static constexpr size_t kMaxNames = 100000;
    static constexpr int kMaxDepth = 32;

    // Segment addresses with $Number$, $Time$ or $SubNumber$ placeholders left in; $RepresentationID$
    // and $Bandwidth$ are filled in per representation.
    std::vector<std::string> templates;
    // Addresses named one by one: SegmentList entries, initialisation sections, and the single file
    // of a representation that is read in byte ranges.
    std::vector<std::string> addresses;

    // manifestUrl is the manifest's own address (host and path, no scheme); the names come out in the
    // same form. Nothing when the text is not a well-formed XML document whose root is MPD.
    static std::optional<DashManifest> Parse(std::string_view text, std::string_view manifestUrl);
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// What a DASH manifest names: each representation's segments as address templates or plain addresses,
// resolved against the manifest's address and its BaseURLs.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Names beyond maxNameBytes, or beyond what resolving them may cost.
    size_t namesLeftOut = 0;

    // What each name costs against maxNameBytes beyond its characters.
    static constexpr size_t kNameUpkeep = 32;
    // Resolved names may add up to this many times the text's bytes, or kResolvedAtLeast: every
    // element inside a level inherits its base, and a long base with many short references would
    // otherwise make a small manifest cost much.
    static constexpr size_t kResolvedPerTextByte = 64;
    static constexpr size_t kResolvedAtLeast = 256 * 1024;

    // What a stream's details start from: the first video representation's initialisation section and
    // first segment (for a representation that is one file, that file), as host and path; and the
    // stream's length (mediaPresentationDuration), 0 when the manifest gives none or is a live one.
    std::string firstInitialisation;
    std::string firstSegment;
    int64_t durationUs = 0;

    // "PT1H2M3.5S", "P1DT30S" -> microseconds; nothing for what is not such a duration (years and months
    // have no fixed length and are refused).
    static std::optional<int64_t> ParseDuration(std::string_view text);

    // manifestUrl is the manifest's own address (host and path, no scheme); the names come out in the
    // same form, at most maxNameBytes of them. Nothing when the text is not a well-formed XML document
    // whose root is MPD.
    static std::optional<DashManifest> Parse(std::string_view text, std::string_view manifestUrl,
                                             size_t maxNameBytes = SIZE_MAX);
};

}  // namespace tarnwick

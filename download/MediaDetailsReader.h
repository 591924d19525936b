// SPDX-License-Identifier: GPL-3.0-or-later
// One entry's details: a bounded fetch of its first bytes (and of its index where an MP4 keeps it at the
// end), written to a private file that the decoders read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "download/MediaDetails.h"
#include "download/MediaDetailsProbe.h"

namespace tarnwick {

class MediaDetailsReader {
public:
    // What the entry says of its video.
    struct Request {
        int serial = 0;
        std::string url;          // with its scheme
        std::string requestText;  // the browser's request: a secret, sent again and never written
        std::string type;         // "mp4", "webm", "hls", "dash"...
        bool isStream = false;    // url names an HLS or DASH playlist
        int64_t size = 0;         // the whole file's size when known, else 0
    };
    struct Settings {
        MediaDetailsProbe::Tools tools;
        std::string tempFolder;  // where the private folders are made; empty: $TMPDIR, else /tmp
        std::string caBundle;    // empty: the system's store
        uint32_t stallLimitMs = 15'000;
    };

    // Never more than this is fetched for one entry, in a few ranges.
    static constexpr size_t kMaxFetchBytes = 4u << 20;
    // The first range of a file larger than kMaxFetchBytes: the rest is kept for an index at the end.
    static constexpr size_t kFirstBytes = 2u << 20;
    static constexpr size_t kMaxPlaylistBytes = 1u << 20;

    // Runs on the calling thread; returns early, with the problem "stopped", once stop becomes true.
    static MediaDetails Read(const Request& request, const Settings& settings, const std::atomic<bool>* stop);

private:
    struct Bytes;
    static MediaDetails ReadFile(const Request& request, const Settings& settings, const std::atomic<bool>* stop);
    static MediaDetails ReadHls(const Request& request, const Settings& settings, const std::atomic<bool>* stop);
    static MediaDetails ReadDash(const Request& request, const Settings& settings, const std::atomic<bool>* stop);
    // The first segment, after its initialisation section when it has one, read within left bytes and
    // decoded; the stream's length, when known, replaces the segment's.
    static MediaDetails ReadFirstSegment(const Request& request, const Settings& settings,
                                         const std::string& initialisation, const std::string& segment, size_t left,
                                         int64_t durationUs, const std::atomic<bool>* stop);
    // Writes the pieces into a file of a folder only this user can enter, reads it, and removes both.
    static MediaDetails Decode(const Bytes& bytes, bool whole, const Settings& settings, const std::atomic<bool>* stop);
};

}  // namespace tarnwick

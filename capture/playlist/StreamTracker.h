// SPDX-License-Identifier: GPL-3.0-or-later
// Follows the HLS and DASH streams of one capture thread: takes in their playlists, knows which
// addresses are their segments, and counts each segment answer into the stream whose playlist named it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "capture/limits/CaptureLimits.h"
#include "capture/playlist/AddressTemplate.h"

namespace tarnwick {

// A stream is known by the address of the playlist that was read first: a master playlist, or a media
// playlist or manifest that no master named. The playlists a master names (variants, renditions) join
// its stream, and so do their segments. A segment counts once, whoever fetches it again (the player
// seeking back). Everything is bounded, by what it really costs: streams (the one idle longest goes,
// and with it only its own names), the addresses they hold, the patterns each follows and the segments
// remembered as counted.
class StreamTracker {
public:
    enum class Kind : uint8_t { Hls, Dash };

    struct Limits {
        size_t maxStreams = 32;
        size_t maxNameBytes = 8u << 20;  // the names with their upkeep
        size_t maxTemplatesPerStream = 64;
        size_t maxCounted = 400000;  // segments remembered as counted, all streams

        static Limits From(const CaptureLimits& limits);
    };

    struct Growth {
        std::string url;     // the stream's playlist (host and path, no scheme)
        std::string scheme;  // the playlist's
        Kind kind = Kind::Hls;
        int64_t bytes = 0;     // sum of the bodies of its segments counted so far
        int64_t segments = 0;  // segments counted so far
        bool grew = false;     // false: a segment counted before, fetched again
    };

    struct Statistics {
        uint64_t playlistsRead = 0;    // read whole and taken in
        uint64_t playlistsUnread = 0;  // not a playlist after all, or not read whole
        uint64_t segments = 0;         // answers counted into a stream
        uint64_t streamsEvicted = 0;
        uint64_t namesDropped = 0;  // beyond the bound on names, or patterns that cannot be followed
        uint64_t matchesCut = 0;    // answers whose matching against the patterns reached its bound
    };

    // What one held name costs: its table node (64 bytes), its share of the table's buckets and of its
    // stream's list of names, and its characters as the allocator takes them (none while they fit in
    // the string itself). A pattern costs its text three times (as read, compiled and as its shape).
    static constexpr size_t kNameUpkeep = 112;
    static size_t NameCost(size_t length) {
        return kNameUpkeep + (length < 16 ? 0 : std::max<size_t>(32, (length + 1 + 8 + 15) & ~size_t{15}));
    }
    // The names of one playlist, resolved, may add up to this many times its own bytes (its body and its
    // address), or kResolvedAtLeast: a long address and many short names would otherwise make a small
    // playlist cost much. Real playlists stay far below (their names are mostly the base they share).
    static constexpr size_t kResolvedPerPlaylistByte = 64;
    static constexpr size_t kResolvedAtLeast = 256 * 1024;
    // Patterns of the same shape tried for one answer, in bytes compared: this many per byte of its
    // address, and kMatchBytes more. Beyond, the answer is taken for no stream's segment.
    static constexpr size_t kMatchBytesPerAddressByte = 32;
    static constexpr size_t kMatchBytes = 64 * 1024;

    StreamTracker() : StreamTracker(Limits{}) {}
    explicit StreamTracker(Limits limits, LimitHits* hits = nullptr);
    StreamTracker(const StreamTracker&) = delete;
    StreamTracker& operator=(const StreamTracker&) = delete;

    // The kind of playlist an answer of this content type (the header's value) to this address is:
    // an HLS or DASH type, else a path ending in ".m3u8" or ".mpd". Nothing for any other answer.
    static std::optional<Kind> PlaylistKind(std::string_view contentType, std::string_view url);

    // A playlist read whole: url is its address (host and path, no scheme), fetched with scheme.
    void TakePlaylist(const std::string& url, const std::string& scheme, Kind kind, std::string_view body);
    // A playlist answer that could not be read whole.
    void PlaylistUnread() { ++statistics_.playlistsUnread; }

    // An answer paired with the request for url; rangeFirst is where a 206 piece begins. The stream's
    // figures when the answer is a segment of one (grew says whether it counted now); nothing for an
    // answer that is no stream's.
    std::optional<Growth> OnAnswer(std::string_view url, int64_t bodyBytes, std::optional<int64_t> rangeFirst);

    bool Empty() const { return streams_.empty(); }
    // Whether a stream's master playlist names url as one of its playlists (a variant or rendition).
    bool NamesPlaylist(std::string_view url) const {
        return !playlistNames_.empty() && playlistNames_.count(std::string(url)) != 0;
    }
    const Statistics& Counts() const { return statistics_; }
    size_t NameBytes() const { return nameBytes_; }

private:
    struct Stream {
        uint64_t id = 0;
        std::string url;
        std::string scheme;
        Kind kind = Kind::Hls;
        int64_t bytes = 0;
        int64_t segments = 0;
        std::deque<AddressTemplate> templates;  // in place: the shape table points at them
        std::vector<std::string> templateTexts;
        size_t templateBytes = 0;               // what its patterns count against the names' bound
        std::vector<const std::string*> names;  // its entries in names_, to take out with it
        std::unordered_set<uint64_t> counted;   // hashes of the segment addresses (and piece starts) counted
    };
    using Streams = std::list<Stream>;  // least recently active first

    // A pattern of a stream, filed by its shape.
    struct Pattern {
        uint64_t streamId = 0;
        const AddressTemplate* pattern = nullptr;
    };
    enum class Naming : uint8_t { Added, Known, Full };

    Streams::iterator StreamFor(const std::string& url, const std::string& scheme, Kind kind);
    Naming Name(Streams::iterator stream, std::string address, bool playlist = false);
    // The names beyond the bound: the rest of a playlist's are not looked at.
    void NamesDropped(size_t count);
    void TakeTemplates(Streams::iterator stream, const std::vector<std::string>& texts);
    Streams::iterator MatchTemplates(std::string_view url);
    void Touch(Streams::iterator stream) { streams_.splice(streams_.end(), streams_, stream); }
    void Evict(Streams::iterator stream);
    Streams::iterator Find(uint64_t id);

    Limits limits_;
    LimitHits* hits_;
    Streams streams_;
    std::unordered_map<std::string, uint64_t> names_;               // segment and playlist addresses -> stream id
    std::unordered_set<std::string> playlistNames_;                 // of names_, those a master names as playlists
    std::unordered_map<std::string, std::vector<Pattern>> shapes_;  // every stream's patterns by their shape
    size_t nameBytes_ = 0;
    size_t templateCount_ = 0;
    size_t countedInAll_ = 0;
    uint64_t nextId_ = 1;
    Statistics statistics_;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The one sink of a capture thread's requests and answers: every transport's readers hand theirs here,
// where the video rules and the stream tracker judge them and detections leave through the reporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "capture/judge/DetectionCounts.h"
#include "capture/judge/VideoResponseJudge.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/session/VideoReporter.h"
#include "capture/source/OwnAddresses.h"

namespace tarnwick {

// A request counts when this host sent it (the link layer says so, or it came from an own address; a
// replay without given addresses takes the sender of each IP version's first GET request for its own)
// and it is not one of Tarnwick's own fetches. Its answer is then a playlist to read whole (a stream
// begins or grows its list of segments), a segment of a known stream (counted into it), or judged by the
// video rules. A client may fetch segments while the playlist that names them is still being read (an
// HTTP/2 client that asks for everything at once): answers that may be segments wait, within bounds, for
// the playlists being read, and are counted into a stream or judged as videos of their own then.
class VideoFinder final : public HttpExchangeSink {
public:
    struct Context {
        VideoReporter& reporter;
        StreamTracker& streams;
        ByteBudget& messages;   // what waiting requests hold
        ByteBudget& playlists;  // playlist bodies being read
        size_t maxPlaylistBytes = 2u << 20;
        // Capture times are wall-clock times (a live capture): Tarnwick's own connections are looked up.
        bool live = false;
        // The adapter is this host's loopback: every connection on it is this host's own.
        bool loopbackAdapter = false;
    };

    // ownAddresses: given, or the adapter's; inferOwn: a replay whose own addresses are to be found.
    VideoFinder(Context context, OwnAddresses ownAddresses, bool inferOwn);

    std::unique_ptr<HttpExchange> OnRequest(const ConnectionFacts& connection, const HttpRequestHead& request) override;

    const DetectionCounts& Counts() const { return counts_; }
    // Settles every answer still waiting for playlists (the capture ended).
    void Flush() { Settle(true); }
    const OwnAddresses& Own() const { return own_; }
    bool OwnAddressKnown() const { return !own_.Empty(); }

    static constexpr size_t kMaxWaiting = 256;     // answers waiting for playlists
    static constexpr int64_t kMaxWaitMs = 10'000;  // by capture time

private:
    class Exchange;

    // An answer that may be a segment of a playlist still being read.
    struct Waiting {
        uint64_t id = 0;
        std::string url;
        int64_t bodyBytes = -1;
        std::optional<int64_t> rangeFirst;
        int64_t timeMs = 0;
        bool judged = false;                 // its judge has decided (or its exchange ended)
        std::optional<DetectedVideo> video;  // what it is when it is no segment
    };

    bool FromThisHost(const ConnectionFacts& connection);
    void Answer(Exchange& exchange, const HttpResponseHead& answer, bool bodyFollows);
    void Judged(Exchange& exchange);
    void PlaylistRead(Exchange& exchange, bool complete);
    // The exchange no longer counts among the playlists being read.
    void NoLongerReading(Exchange& exchange);
    // Counts a segment into its stream; false when the answer is no stream's.
    bool CountSegment(std::string_view url, int64_t bodyBytes, std::optional<int64_t> rangeFirst, int64_t timeMs);
    void Report(DetectedVideo video);
    Waiting* FindWaiting(uint64_t id);
    // Settles the waiting answers that can be settled: all when no playlist is being read (or all is true),
    // else those that waited too long.
    void Settle(bool all);

    Context context_;
    OwnAddresses own_;
    bool inferOwn_;
    DetectionCounts counts_;
    size_t playlistsReading_ = 0;
    std::deque<Waiting> waiting_;
    uint64_t nextWaitingId_ = 1;
    int64_t latestMs_ = 0;
};

}  // namespace tarnwick

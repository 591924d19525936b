// The one sink of a capture thread's requests and answers: every transport's readers hand theirs here,
// where the video rules and the stream tracker judge them and detections leave through the reporter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
// video rules.
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
    const OwnAddresses& Own() const { return own_; }
    bool OwnAddressKnown() const { return !own_.Empty(); }

private:
    class Exchange;

    bool FromThisHost(const ConnectionFacts& connection);
    void Answer(Exchange& exchange, const HttpResponseHead& answer, bool bodyFollows);
    void Judged(Exchange& exchange);
    void PlaylistRead(Exchange& exchange, bool complete);

    Context context_;
    OwnAddresses own_;
    bool inferOwn_;
    DetectionCounts counts_;
};

}  // namespace tarnwick

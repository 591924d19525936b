// Turns captured TCP frames into detected videos: GET requests out, video responses in.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/decode/FrameDecoder.h"
#include "capture/decode/PacketView.h"
#include "capture/decode/TcpSegment.h"
#include "capture/detect/ContentRange.h"
#include "capture/detect/DetectedVideo.h"
#include "capture/detect/DetectionCounts.h"
#include "capture/detect/IgnoreList.h"
#include "capture/detect/OwnAddresses.h"
#include "capture/detect/PendingRequestTable.h"
#include "capture/detect/VideoReporter.h"
#include "capture/detect/VideoResponseRules.h"
#include "capture/playlist/StreamTracker.h"

namespace tarnwick {

// One detector per capture thread. It decides on one frame at a time from fixed byte patterns;
// the pending-request table and the previous response are its only memory between frames.
class HttpVideoDetector {
public:
    using Deliver = std::function<void(DetectedVideo)>;

    static constexpr size_t kSearchWindow = 8192;

    // sourceName names the adapter or capture file in every DetectedVideo. A frame is outgoing when its
    // link layer says so, else when it was sent from one of ownAddresses; a loopback frame is a request
    // when its payload begins with one. decoder reads the frames handed to ProcessPacket.
    HttpVideoDetector(OwnAddresses ownAddresses, PendingRequestTable& pending, IgnoreList& ignored, Deliver deliver,
                      std::string sourceName, FrameDecoder decoder = {});

    // Decodes a whole captured frame, then examines its segment. captureMicroseconds refines the capture
    // time for pacing a growing entry's reports.
    void ProcessPacket(const uint8_t* bytes, size_t capturedLength, int64_t captureTimeSeconds,
                       uint32_t captureMicroseconds = 0) {
        const PacketView frame(bytes, capturedLength);
        if (decoder_.Decode(frame, packetSegment_))
            ProcessSegment(frame, packetSegment_, captureTimeSeconds, captureMicroseconds);
    }
    // A segment already decoded from frame. Inline: most frames are body data, told apart here.
    [[gnu::always_inline]] void ProcessSegment(const PacketView& frame, const TcpSegment& segment,
                                               int64_t captureTimeSeconds, uint32_t captureMicroseconds = 0);
    // For a replay whose own addresses are found in the packets after the detector was made.
    void AddOwnAddress(const IpAddress& address) { ownAddresses_.Add(address); }
    // Playlists are handed to the tracker, and answers that are its streams' segments are counted there
    // instead of judged as videos. Without one, playlists and segments are answers like any other.
    void SetStreamTracker(StreamTracker* streams) { streams_ = streams; }
    // What the detector has seen so far; kept off the per-frame path (only requests and answers count).
    const DetectionCounts& Counts() const { return counts_; }

    // Host and path of a request as reported, or empty when the request has no path. Without a Host
    // header, the server address stands for the host (an IPv6 address in brackets).
    static std::string UrlOf(const PendingRequest& request);

private:
    // An answer that names no video type and whose header filled its packet: its body's first bytes,
    // in the connection's next packet, tell whether it is a video.
    struct AwaitedBody {
        bool used = false;
        ConnectionKey key;
        PendingRequest request;
        std::string sizeText;
        std::optional<ContentRange> range;
    };
    static constexpr size_t kAwaitedBodies = 8;

    void RecordRequest(const PacketView& frame, const TcpSegment& tcp, int64_t now);
    // A body packet right after a header that filled its packet exactly.
    void ReportFlvContinuation(int64_t now);
    // An incoming frame whose search window holds "HTTP".
    void HandleResponse(const PacketView& frame, const TcpSegment& tcp, int64_t now);
    // An incoming frame without "HTTP" on a connection whose answer waits for its body.
    void ContinueAwaitedBody(const PacketView& frame, const TcpSegment& tcp, int64_t now);
    void ForgetAwaitedBody(const ConnectionKey& key);
    // True when the answer being handled is a playlist or a segment of a known stream: it is then no
    // video of its own.
    bool TakeStreamAnswer(const PacketView& frame, const TcpSegment& tcp, std::string_view status, size_t windowEnd,
                          const std::string& sizeText, const std::optional<ContentRange>& range, int64_t now);
    void Report(const PendingRequest& request, const std::string& sizeText, const std::string& typeText,
                int64_t now, const std::optional<ContentRange>& range = std::nullopt);

    OwnAddresses ownAddresses_;
    FrameDecoder decoder_;
    TcpSegment packetSegment_;  // reused by ProcessPacket rather than set up anew for every frame
    PendingRequestTable& pending_;
    VideoReporter reporter_;
    PendingRequest previousRequest_;
    PendingRequest currentRequest_;  // only used while a response is handled
    std::string previousSizeText_;
    DetectionCounts counts_;
    std::array<AwaitedBody, kAwaitedBodies> awaited_;
    size_t awaitedCount_ = 0;
    size_t nextAwaited_ = 0;
    int64_t nowMs_ = 0;
    StreamTracker* streams_ = nullptr;
};

inline void HttpVideoDetector::ProcessSegment(const PacketView& frame, const TcpSegment& tcp,
                                              int64_t captureTimeSeconds, uint32_t captureMicroseconds) {
    // Fewer than three payload bytes hold no pattern of either direction (ACKs and the like).
    if (tcp.payloadLength < 3) return;
    nowMs_ = captureTimeSeconds * 1000 + captureMicroseconds / 1000;
    bool outgoing = tcp.direction == PacketDirection::Outgoing;
    if (tcp.direction == PacketDirection::Unknown) outgoing = ownAddresses_.ContainsSource(tcp);
    // Between two ends of this host: a request begins its payload.
    else if (tcp.direction == PacketDirection::Loopback)
        outgoing = frame.StartsWith(tcp.payloadStart, VideoResponseRules::kRequestMarker);
    if (outgoing) {
        RecordRequest(frame, tcp, captureTimeSeconds);
        return;
    }
    // Most incoming frames are body data; they are told apart here, without the response handling's set-up.
    const size_t windowEnd = tcp.payloadStart + std::min(tcp.payloadLength, kSearchWindow);
    if (frame.Find(VideoResponseRules::kResponseMarker, tcp.payloadStart, windowEnd)) {
        HandleResponse(frame, tcp, captureTimeSeconds);
        return;
    }
    if (VideoResponseRules::StartsFlv(frame, tcp.payloadStart)) ReportFlvContinuation(captureTimeSeconds);
    if (awaitedCount_ != 0) ContinueAwaitedBody(frame, tcp, captureTimeSeconds);
}

}  // namespace tarnwick

// Turns captured TCP frames into detected videos: GET requests out, video responses in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "capture/decode/PacketView.h"
#include "capture/decode/TcpFrame.h"
#include "capture/detect/DetectedVideo.h"
#include "capture/detect/DetectionCounts.h"
#include "capture/detect/IgnoreList.h"
#include "capture/detect/PendingRequestTable.h"
#include "capture/detect/VideoReporter.h"

namespace tarnwick {

// One detector per capture thread. It decides on one frame at a time from fixed byte patterns;
// the pending-request table and the previous response are its only memory between frames.
class HttpVideoDetector {
public:
    using Deliver = std::function<void(DetectedVideo)>;

    static constexpr size_t kSearchWindow = 8192;

    // sourceName names the adapter or capture file in every DetectedVideo.
    HttpVideoDetector(Ipv4Address ownAddress, PendingRequestTable& pending, IgnoreList& ignored, Deliver deliver,
                      std::string sourceName);

    void ProcessPacket(const uint8_t* bytes, size_t capturedLength, int64_t captureTimeSeconds);
    // For a replay whose own address is found in the packets after the detector was made.
    void SetOwnAddress(Ipv4Address ownAddress) { ownAddress_ = ownAddress; }
    // What the detector has seen so far; kept off the per-frame path (only requests and answers count).
    const DetectionCounts& Counts() const { return counts_; }

    // Host and path of a request as reported, or empty when the request has no path.
    static std::string UrlOf(const PendingRequest& request);

private:
    void RecordRequest(const PacketView& frame, const TcpFrame& tcp, int64_t now);
    // An incoming frame whose search window holds "HTTP".
    void HandleResponse(const PacketView& frame, const TcpFrame& tcp, int64_t now);
    void Report(const PendingRequest& request, const std::string& sizeText, const std::string& typeText,
                int64_t now);

    Ipv4Address ownAddress_;
    PendingRequestTable& pending_;
    VideoReporter reporter_;
    PendingRequest previousRequest_;
    PendingRequest currentRequest_;  // only used while a response is handled
    std::string previousSizeText_;
    DetectionCounts counts_;
};

}  // namespace tarnwick

// Finds the clear-text TCP connections that speak HTTP/2 (h2c) and follows them.
#include "capture/http2/Http2CleartextTracker.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "capture/http2/Http2Protocol.h"
#include "capture/http2/Http2StreamReader.h"

namespace tarnwick {

namespace {

// "PRI * HTTP/2.0\r\n": a client that sends less in its first segment is not recognised.
constexpr size_t kPrefaceLineSize = 16;

}  // namespace

Http2CleartextTracker::Http2CleartextTracker(Http2UpgradeReader::Readers readers, TcpReassembler::Limits limits)
    : readers_(readers), reassembler_(limits) {}

bool Http2CleartextTracker::StartsPreface(std::span<const uint8_t> payload) {
    const size_t compared = std::min(payload.size(), Http2::kPreface.size());
    return compared >= kPrefaceLineSize && std::memcmp(payload.data(), Http2::kPreface.data(), compared) == 0;
}

bool Http2CleartextTracker::MayBeServerSettings(std::span<const uint8_t> payload) {
    if (payload.size() < Http2::kFrameHeaderSize || payload.size() > kMaxEarlySettings) return false;
    const size_t length = static_cast<size_t>(payload[0]) << 16 | static_cast<size_t>(payload[1]) << 8 | payload[2];
    // Not an acknowledgement (flags 0), on stream 0, whole settings of 6 bytes each.
    return payload[3] == Http2::kSettings && payload[4] == 0 && (payload[5] | payload[6] | payload[7] | payload[8]) == 0 &&
           length % 6 == 0 && Http2::kFrameHeaderSize + length <= payload.size();
}

void Http2CleartextTracker::HoldEarlySettings(const StreamSegment& segment) {
    EarlySettings& slot = early_[nextEarly_];
    nextEarly_ = (nextEarly_ + 1) % early_.size();
    std::memcpy(slot.bytes.data(), segment.payload, segment.payloadLength);
    slot.segment = segment;
    slot.segment.payload = slot.bytes.data();
}

Http2CleartextTracker::EarlySettings* Http2CleartextTracker::FindEarlySettings(const StreamSegment& preface) {
    if (!preface.Has(StreamSegment::kAck)) return nullptr;
    for (EarlySettings& slot : early_) {
        const StreamSegment& held = slot.segment;
        // The client may have acknowledged the settings before it sent its preface, or not yet.
        const uint32_t end = held.sequence + static_cast<uint32_t>(held.payloadLength);
        if (held.payloadLength > 0 && held.source == preface.destination && held.destination == preface.source &&
            (held.sequence == preface.acknowledgement || end == preface.acknowledgement))
            return &slot;
    }
    return nullptr;
}

bool Http2CleartextTracker::Process(const StreamSegment& segment, int64_t timeSeconds) {
    if (Following() && reassembler_.Process(segment, timeSeconds)) return true;
    const std::span<const uint8_t> payload(segment.payload, segment.payloadLength);
    if (payload.empty()) return false;
    const FlowKey key{segment.source, segment.destination};
    std::unique_ptr<StreamReader> reader;
    if (StartsPreface(payload)) {
        reader = std::make_unique<Http2StreamReader>(Http2StreamReader::Context{key, "", "http"}, readers_.reporter,
                                                     readers_.http2, readers_.budget);
    } else if (Http2UpgradeReader::AsksForH2c(payload)) {
        reader = std::make_unique<Http2UpgradeReader>(key, readers_);
    } else {
        // Also read by the per-packet path, where it is no request and no answer.
        if (MayBeServerSettings(payload)) HoldEarlySettings(segment);
        return false;
    }
    EarlySettings* early = FindEarlySettings(segment);
    if (!early) {
        reassembler_.Follow(segment, std::move(reader), timeSeconds);
        return true;
    }
    // The server's side starts with its settings, and the reader reads them first.
    StreamSegment first = segment;
    first.acknowledgement = early->segment.sequence;
    reassembler_.Follow(first, std::move(reader), timeSeconds);
    reassembler_.Process(early->segment, timeSeconds);
    early->segment.payloadLength = 0;
    return true;
}

}  // namespace tarnwick

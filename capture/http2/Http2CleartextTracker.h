// Finds the clear-text TCP connections that speak HTTP/2 (h2c) and follows them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/http2/Http2UpgradeReader.h"
#include "capture/stream/StreamSegment.h"
#include "capture/stream/TcpReassembler.h"

namespace tarnwick {

// A connection is taken when its client's first payload is the HTTP/2 preface (prior knowledge) or an
// HTTP/1.1 request that asks to switch to h2c; such a connection leaves the per-packet path for good,
// also when its server declines the switch (it is then read as HTTP/1.1 from its reassembled bytes).
// Everything else passes by at the cost of a look at the payload's first bytes (and a search for "h2c"
// in what begins like a request), plus a table lookup while connections are followed.
class Http2CleartextTracker {
public:
    explicit Http2CleartextTracker(Http2UpgradeReader::Readers readers, TcpReassembler::Limits limits = {});
    Http2CleartextTracker(const Http2CleartextTracker&) = delete;
    Http2CleartextTracker& operator=(const Http2CleartextTracker&) = delete;

    // Whether a client's first payload opens with the HTTP/2 preface (at least its request line).
    static bool StartsPreface(std::span<const uint8_t> payload);
    // Whether a payload can begin a connection this tracker follows.
    static bool Begins(std::span<const uint8_t> payload) {
        return StartsPreface(payload) || Http2UpgradeReader::AsksForH2c(payload);
    }
    // Whether a payload may be a server's first bytes on HTTP/2: a small segment that opens with a
    // SETTINGS frame.
    static bool MayBeServerSettings(std::span<const uint8_t> payload);
    // Whether the tracker wants to see a segment with this payload while it follows nothing. Asked of
    // every packet, so the first byte sorts them: a request (or the preface) starts with a capital, a
    // small SETTINGS frame with the top byte of its length, 0.
    static bool Concerns(std::span<const uint8_t> payload) {
        if (payload.empty()) return false;
        const uint8_t first = payload[0];
        if (first >= 'A' && first <= 'Z')
            return (first == 'P' && StartsPreface(payload)) || Http2UpgradeReader::AsksForH2c(payload);
        return first == 0 && MayBeServerSettings(payload);
    }

    // True when the segment belongs to a followed connection or begins one; such a segment is no
    // plain HTTP/1 for the per-packet path. False (nothing done) for every other segment.
    bool Process(const StreamSegment& segment, int64_t timeSeconds);
    void EndAll(StreamEnd how) { reassembler_.EndAll(how); }
    // While nothing is followed, only a payload that Begins a connection can concern the tracker.
    bool Following() const { return !reassembler_.Empty(); }

    const ReassemblyStatistics& Reassembly() const { return reassembler_.Statistics(); }

private:
    // A server spoken to by prior knowledge sends its SETTINGS at once, often before the client's
    // preface has passed; the last few such segments are kept, so that the server's side of a connection
    // followed from its preface starts with its first byte instead of a hole that is never filled.
    static constexpr size_t kMaxEarlySettings = 128;
    static constexpr size_t kEarlySlots = 8;
    struct EarlySettings {
        StreamSegment segment;  // its payload points into bytes
        std::array<uint8_t, kMaxEarlySettings> bytes{};
    };

    void HoldEarlySettings(const StreamSegment& segment);
    // The held server segment that the preface's acknowledgement points at or just past; null if none.
    EarlySettings* FindEarlySettings(const StreamSegment& preface);

    std::array<EarlySettings, kEarlySlots> early_{};
    size_t nextEarly_ = 0;
    Http2UpgradeReader::Readers readers_;
    TcpReassembler reassembler_;  // last: its readers count into the statistics readers_ names
};

}  // namespace tarnwick

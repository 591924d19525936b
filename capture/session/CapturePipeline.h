// SPDX-License-Identifier: GPL-3.0-or-later
// The stages one capture thread runs its packets through, from a decoded frame to the detections.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/decode/FrameDecoder.h"
#include "capture/decode/PacketView.h"
#include "capture/decode/TcpSegment.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/quic/QuicTracker.h"
#include "capture/session/ConnectionRouter.h"
#include "capture/session/PipelineTotals.h"
#include "capture/session/VideoFinder.h"
#include "capture/session/VideoReporter.h"
#include "capture/source/OwnAddresses.h"
#include "capture/stream/TcpReassembler.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// One reassembler follows every connection; the router gives each its reader by its first bytes; every
// request and answer goes to one finder, which judges it, counts segments into the streams, and hands
// detections to the reporter. Bounded by the limits throughout.
class CapturePipeline {
public:
    struct Options {
        std::string sourceName;          // the adapter or capture file, named in every detection
        OwnAddresses ownAddresses;       // given, or the adapter's
        bool inferOwnAddresses = false;  // a replay without given addresses
        bool live = false;               // capture times are wall-clock times
        bool loopbackAdapter = false;    // every frame was sent and received by this host
        TlsKeyLog* keyLog = nullptr;
        CaptureLimits limits;
    };

    CapturePipeline(Options options, VideoReporter::Deliver deliver);
    ~CapturePipeline();
    CapturePipeline(const CapturePipeline&) = delete;
    CapturePipeline& operator=(const CapturePipeline&) = delete;

    // A captured frame: decoded, then handed on when it carries TCP or UDP. timeMs: its capture time.
    void Frame(const FrameDecoder& decoder, const PacketView& frame, int64_t timeMs) {
        ++totals_.packets;
        if (decoder.DecodeTransport(frame, segment_)) {
            if (segment_.protocol == TcpSegment::kTcp)
                Segment(frame, timeMs);
            else
                Datagram(frame, timeMs);
        }
        router_.Tick(timeMs);
    }
    // Time passes without packets (an idle adapter): what waits for the key log is looked at again.
    void Tick(int64_t nowMs) {
        router_.Tick(nowMs);
        quic_.Tick(nowMs);
    }
    // A key log from now on (a capture that brings its own secrets); TLS and QUIC connections that begin
    // later are decrypted.
    void SetKeyLog(TlsKeyLog* keyLog) {
        router_.SetKeyLog(keyLog);
        quic_.SetKeyLog(keyLog);
    }
    // Ends every connection still followed (their readers are told how); the totals are complete then.
    void End(StreamEnd how);

    const PipelineTotals& Totals() const { return totals_; }
    const OwnAddresses& OwnAddressSet() const { return finder_.Own(); }

private:
    void Segment(const PacketView& frame, int64_t timeMs);
    void Datagram(const PacketView& frame, int64_t timeMs);

    Options options_;
    PipelineTotals totals_;
    TcpSegment segment_;  // filled anew by every decode
    ByteBudget messages_;
    ByteBudget http2_;
    ByteBudget tls_;
    ByteBudget playlists_;
    ByteBudget quicBytes_;
    VideoReporter reporter_;
    StreamTracker streams_;
    VideoFinder finder_;
    ConnectionRouter router_;
    TcpReassembler reassembler_;
    QuicTracker quic_;
    bool ended_ = false;
};

}  // namespace tarnwick

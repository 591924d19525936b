// SPDX-License-Identifier: GPL-3.0-or-later
// The capture thread's one sink and router, set up for the fuzz targets of the readers that feed them.
#pragma once

#include <string>

#include "capture/limits/CaptureLimits.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/session/ConnectionRouter.h"
#include "capture/session/VideoFinder.h"
#include "capture/session/VideoReporter.h"

namespace tarnwick::fuzz {

// Every request counts as this host's; detections are checked for what the list relies on. Bounds are
// small, so that inputs of a few kilobytes reach them.
struct FuzzSink {
    explicit FuzzSink(TlsKeyLog* keyLog = nullptr)
        : router(ConnectionRouter::Context{finder, limits, totals, keyLog, messages, http2, tls}) {
        facts.clientLinkDirection = PacketDirection::Loopback;
        facts.serverName = "sni.test";
    }

    static CaptureLimits SmallLimits() {
        CaptureLimits limits;
        limits.Set(Limit::HeadBytes, 4096);
        limits.Set(Limit::UnansweredRequests, 8);
        limits.Set(Limit::Http2Streams, 16);
        limits.Set(Limit::Http2ConnectionBytes, 32 * 1024);
        limits.Set(Limit::TlsConnectionBytes, 64 * 1024);
        limits.Set(Limit::PlaylistBytes, 8192);
        return limits;
    }

    CaptureLimits limits = SmallLimits();
    PipelineTotals totals;
    ByteBudget messages{64 * 1024, Limit::MessageBytes, &totals.limitsReached};
    ByteBudget playlists{16 * 1024, Limit::PlaylistsBytes, &totals.limitsReached};
    ByteBudget http2{48 * 1024, Limit::Http2Bytes, &totals.limitsReached};
    ByteBudget tls{256 * 1024, Limit::TlsBytes, &totals.limitsReached};
    VideoReporter reporter{[](DetectedVideo video) { return !video.url.empty(); }, "fuzz"};
    StreamTracker streams{StreamTracker::Limits::From(limits), &totals.limitsReached};
    VideoFinder finder{VideoFinder::Context{reporter, streams, messages, playlists, 8192, false, true}, {}, false};
    ConnectionRouter router;
    ConnectionFacts facts;
};

}  // namespace tarnwick::fuzz

// SPDX-License-Identifier: GPL-3.0-or-later
// The capture thread's one sink, set up for tests of the readers that feed it: every request counts as
// this host's, and every detection is kept.
#pragma once

#include <string>
#include <vector>

#include "capture/limits/CaptureLimits.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/session/VideoFinder.h"
#include "capture/session/VideoReporter.h"

namespace tarnwick::testing {

struct SinkHarness {
    explicit SinkHarness(size_t http2Bytes = 32u << 20) : http2(http2Bytes, Limit::Http2Bytes, &hits) {
        facts.serverName = "sni.test";
        facts.scheme = "https";
        facts.clientLinkDirection = PacketDirection::Loopback;
    }

    std::vector<DetectedVideo> seen;
    LimitHits hits;
    ByteBudget messages{16u << 20, Limit::MessageBytes, &hits};
    ByteBudget playlists{16u << 20, Limit::PlaylistsBytes, &hits};
    ByteBudget http2;
    VideoReporter reporter{[this](DetectedVideo video) {
                               seen.push_back(std::move(video));
                               return true;
                           },
                           "lo"};
    StreamTracker streams;
    VideoFinder finder{VideoFinder::Context{reporter, streams, messages, playlists, 2u << 20, false, true}, {}, false};
    ConnectionFacts facts;
};

}  // namespace tarnwick::testing

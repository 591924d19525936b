// SPDX-License-Identifier: GPL-3.0-or-later
// What every stage of one capture thread saw, passed over and cut: the figures a run ends with.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/http1/Http1Statistics.h"
#include "capture/http2/Http2Statistics.h"
#include "capture/judge/DetectionCounts.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/quic/QuicStatistics.h"
#include "capture/stream/ReassemblyStatistics.h"
#include "capture/tls/TlsStatistics.h"

namespace tarnwick {

struct PipelineTotals {
    uint64_t packets = 0;
    ReassemblyStatistics reassembly;
    Http1Statistics http1;
    Http2Statistics http2;
    TlsStatistics tls;
    QuicStatistics quic;
    StreamTracker::Statistics streams;
    DetectionCounts detections;
    LimitHits limitsReached;
    bool ownAddressKnown = false;  // given, or found in the traffic
    // TLS connections (QUIC ones included) that could not be read: no key log was given, or the bound of
    // TLS connections at once was reached; with the first few server names their handshakes named.
    uint64_t tlsWithoutKeyLog = 0;
    std::vector<std::string> tlsServerNames;
    static constexpr size_t kMaxServerNames = 8;

    // Counts one such connection with the name its ClientHello gave (empty when none).
    void CountUnreadHttps(const std::string& serverName);
};

inline void PipelineTotals::CountUnreadHttps(const std::string& serverName) {
    ++tlsWithoutKeyLog;
    if (!serverName.empty() && tlsServerNames.size() < kMaxServerNames &&
        std::find(tlsServerNames.begin(), tlsServerNames.end(), serverName) == tlsServerNames.end())
        tlsServerNames.push_back(serverName);
}

}  // namespace tarnwick

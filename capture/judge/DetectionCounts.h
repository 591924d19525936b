// SPDX-License-Identifier: GPL-3.0-or-later
// What a detector has seen: enough to tell a user why a replay listed nothing.
#pragma once

#include <cstdint>

#include "capture/source/IpAddress.h"

namespace tarnwick {

// Requests are counted once each, as messages, whichever transport carried them and however often
// their segments were sent.
struct DetectionCounts {
    uint64_t requests = 0;        // GET requests sent from this host
    uint64_t otherRequests = 0;   // GET requests from any other host
    IpAddress firstOtherSender;   // the sender of the first of those
    uint64_t ownFetches = 0;      // GET requests of Tarnwick's own downloads, passed over
    uint64_t videoAnswers = 0;    // answers judged to be videos
    uint64_t videosReported = 0;  // of them, handed on
    uint64_t streamSegments = 0;  // segments counted into an HLS or DASH stream (each once)
};

}  // namespace tarnwick

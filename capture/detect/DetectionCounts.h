// What a detector has seen: enough to tell a user why a replay listed nothing.
#pragma once

#include <cstdint>

#include "capture/decode/IpAddress.h"

namespace tarnwick {

struct DetectionCounts {
    uint64_t requests = 0;           // GET requests sent from the own address
    uint64_t otherRequests = 0;      // GET requests from any other address
    IpAddress firstOtherSender;      // the sender of the first of those
    uint64_t videoAnswers = 0;       // answers whose header names a video type (or whose body is FLV)
    uint64_t videosReported = 0;     // video answers paired with a request and handed on
    uint64_t streamSegments = 0;     // segments counted into an HLS or DASH stream (each once)
};

}  // namespace tarnwick

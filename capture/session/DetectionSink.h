// SPDX-License-Identifier: GPL-3.0-or-later
// Where a capture session's detections leave it: one object, installed by whoever lists the videos.
#pragma once

#include "capture/judge/DetectedVideo.h"

namespace tarnwick {

class DetectionSink {
public:
    virtual ~DetectionSink() = default;
    // Called on the capture thread, once per detection (a growing stream again as it grows).
    virtual void OnVideo(DetectedVideo video) = 0;
};

}  // namespace tarnwick

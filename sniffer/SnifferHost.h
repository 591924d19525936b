// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide receiver of detected videos, reached from the capture threads.
#pragma once

#include <atomic>

#include "capture/judge/DetectedVideo.h"
#include "capture/session/DetectionSink.h"

namespace tarnwick {

class SnifferHost {
public:
    virtual ~SnifferHost() = default;
    // Called on a capture thread with the URL already carrying its scheme ("http://" or "https://").
    virtual void HandleDetection(DetectedVideo video) = 0;
};

// Set by whoever lists the videos (the window or the headless runner); null drops detections.
extern std::atomic<SnifferHost*> CurrentSnifferWindow;

// Hands a detection to the current host.
void OnVideoDetected(DetectedVideo video);
// The sink installed on every capture session: it forwards to OnVideoDetected.
DetectionSink& SnifferHostSink();

}  // namespace tarnwick

// The process-wide receiver of detected videos, reached from the capture threads.
#pragma once

#include <atomic>

#include "capture/detect/DetectedVideo.h"

namespace tarnwick {

class SnifferHost {
public:
    virtual ~SnifferHost() = default;
    // Called on a capture thread with the URL already carrying its scheme ("http://" or "https://").
    virtual void HandleDetection(DetectedVideo video) = 0;
};

// Set by whoever lists the videos (the window or the headless runner); null drops detections.
extern std::atomic<SnifferHost*> CurrentSnifferWindow;

// The detection callback installed on every capture session.
void OnVideoDetected(DetectedVideo video);

}  // namespace tarnwick

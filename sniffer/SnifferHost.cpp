// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide receiver of detected videos, reached from the capture threads.
#include "sniffer/SnifferHost.h"

#include <utility>

namespace tarnwick {

std::atomic<SnifferHost*> CurrentSnifferWindow{nullptr};

void OnVideoDetected(DetectedVideo video) {
    video.url = video.scheme + "://" + video.url;
    if (SnifferHost* host = CurrentSnifferWindow.load()) host->HandleDetection(std::move(video));
}

namespace {

class HostSink final : public DetectionSink {
public:
    void OnVideo(DetectedVideo video) override { OnVideoDetected(std::move(video)); }
};

}  // namespace

DetectionSink& SnifferHostSink() {
    static HostSink sink;
    return sink;
}

}  // namespace tarnwick

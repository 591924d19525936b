// SPDX-License-Identifier: GPL-3.0-or-later
// Decides what a progress display shows after each block: percentage when it changes, rate and time left
// at most once a second.
#include "download/ProgressTracker.h"

#include <chrono>
#include <limits>

namespace tarnwick {

uint32_t ProgressTracker::TickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

ProgressTracker::Update ProgressTracker::Advance(uint64_t bytes, bool known, uint64_t total, uint32_t now) {
    Update update;
    if (lastPercent == -1) startTick = lastSampleTick = now;

    // A total of 0 gives no percentage rather than a division by zero.
    if (known && total > 0) {
        uint64_t percent = (bytes + resumeOffset_) * 100 / total;
        if (percent > static_cast<uint64_t>(std::numeric_limits<int>::max())) percent = std::numeric_limits<int>::max();
        if (static_cast<int>(percent) != lastPercent) {
            lastPercent = static_cast<int>(percent);
            update.percent = lastPercent;
        }
    }

    uint32_t sinceSample = now - lastSampleTick;
    if (sinceSample > 1000) {
        update.rate = static_cast<double>(bytes - lastSampleBytes) / sinceSample;
        lastSampleTick = now;
        lastSampleBytes = bytes;
        if (known && bytes != 0) {
            // More bytes than announced leave nothing to wait for instead of an underflowed estimate.
            uint64_t expected = total > resumeOffset_ ? total - resumeOffset_ : 0;
            uint64_t remaining = expected > bytes ? expected - bytes : 0;
            double seconds = static_cast<double>(now - startTick) / static_cast<double>(bytes) *
                             static_cast<double>(remaining) / 1000.0;
            if (seconds > std::numeric_limits<uint32_t>::max()) seconds = std::numeric_limits<uint32_t>::max();
            update.timeLeft = TimeLeft{static_cast<uint32_t>(seconds), bytes + resumeOffset_, total};
        }
    }
    return update;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Decides what a progress display shows after each block: percentage when it changes, rate and time left
// at most once a second.
#pragma once

#include <cstdint>
#include <optional>

namespace tarnwick {

class ProgressTracker {
public:
    struct TimeLeft {
        uint32_t seconds = 0;
        uint64_t copied = 0;
        uint64_t total = 0;
    };
    struct Update {
        std::optional<int> percent;
        std::optional<double> rate;  // bytes per millisecond
        std::optional<TimeLeft> timeLeft;
    };

    // Milliseconds of a monotonic clock, wrapping like the platform's tick counter.
    static uint32_t TickCount();

    // resumeOffset: bytes that were on disk before this transfer; `total` passed to Advance includes them.
    explicit ProgressTracker(uint64_t resumeOffset = 0) : resumeOffset_(resumeOffset) {}

    // bytes: bytes of this transfer so far; known: whether total is known.
    Update Advance(uint64_t bytes, bool known, uint64_t total, uint32_t now);
    Update Advance(uint64_t bytes, bool known, uint64_t total) { return Advance(bytes, known, total, TickCount()); }

    int lastPercent = -1;
    uint64_t lastSampleBytes = 0;
    uint32_t lastSampleTick = 0;
    uint32_t startTick = 0;

private:
    uint64_t resumeOffset_;
};

}  // namespace tarnwick

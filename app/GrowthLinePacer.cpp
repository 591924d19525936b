// SPDX-License-Identifier: GPL-3.0-or-later
// Paces the lines of listed entries whose figures grow (streams, pieces of a video of unknown size).
#include "app/GrowthLinePacer.h"

#include <utility>

namespace tarnwick {

GrowthLinePacer::GrowthLinePacer(std::function<void(const SniffedVideo&)> print) : print_(std::move(print)) {}

void GrowthLinePacer::PrintLocked(Entry& entry, const SniffedVideo& video) {
    entry.printedAtMs = video.lastSeenMs;
    entry.held.reset();
    print_(video);
}

GrowthLinePacer::Entry& GrowthLinePacer::EntryLocked(int serial) {
    if (entries_.size() >= kMaxEntries && !entries_.count(serial)) entries_.erase(entries_.begin());
    return entries_[serial];
}

void GrowthLinePacer::Listed(const SniffedVideo& video) {
    std::lock_guard lock(mutex_);
    PrintLocked(EntryLocked(video.serial), video);
}

void GrowthLinePacer::Grew(const SniffedVideo& video) {
    std::lock_guard lock(mutex_);
    Entry& entry = EntryLocked(video.serial);
    if (video.lastSeenMs - entry.printedAtMs >= kIntervalMs)
        PrintLocked(entry, video);
    else
        entry.held = video;
}

void GrowthLinePacer::Flush(std::optional<int64_t> nowMs) {
    std::lock_guard lock(mutex_);
    for (auto& [serial, entry] : entries_)
        if (entry.held && (!nowMs || *nowMs - entry.printedAtMs >= kIntervalMs)) {
            const SniffedVideo video = *entry.held;
            PrintLocked(entry, video);
        }
}

}  // namespace tarnwick

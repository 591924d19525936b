// SPDX-License-Identifier: GPL-3.0-or-later
// Paces the lines of listed entries whose figures grow (streams, pieces of a video of unknown size).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "sniffer/SniffedVideo.h"

namespace tarnwick {

// An entry's line is printed when it is listed and again, with the same serial, when its figures grow,
// at most once a second by the capture clock (the packets' times, so that a replay prints the same
// lines however fast it runs). Figures held back meanwhile go out with the next growth a second later,
// or with Flush, so the last line printed for a serial holds its last figures. Any thread.
class GrowthLinePacer {
public:
    static constexpr int64_t kIntervalMs = 1000;
    // Entries remembered; the lowest serials are forgotten first (they are long gone from the list).
    static constexpr size_t kMaxEntries = 1024;

    explicit GrowthLinePacer(std::function<void(const SniffedVideo&)> print);

    void Listed(const SniffedVideo& video);
    void Grew(const SniffedVideo& video);
    // Prints the held figures of every entry whose last line is at least a second older than nowMs,
    // or of every entry without nowMs (at the end).
    void Flush(std::optional<int64_t> nowMs = std::nullopt);

private:
    struct Entry {
        int64_t printedAtMs = 0;
        std::optional<SniffedVideo> held;
    };
    Entry& EntryLocked(int serial);
    void PrintLocked(Entry& entry, const SniffedVideo& video);

    std::function<void(const SniffedVideo&)> print_;
    std::mutex mutex_;
    std::map<int, Entry> entries_;
};

}  // namespace tarnwick

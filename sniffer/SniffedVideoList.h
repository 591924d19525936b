// SPDX-License-Identifier: GPL-3.0-or-later
// The table of accepted videos behind the sniffer window's list: filters, numbering, eviction, rows.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "capture/judge/DetectedVideo.h"
#include "platform/WindowServices.h"
#include "sniffer/SniffedVideo.h"

namespace tarnwick {

// Serial numbers of accepted videos, process-wide, never reused.
extern std::atomic<int> SniffSerialCounter;

// Every operation runs under one lock. The list calls its window services while holding it, so it
// must be driven from the window's thread when it has a view (the window posts detections there).
class SniffedVideoList {
public:
    static constexpr int kSlotCount = 30;
    static constexpr int kMaxEntries = 25;
    static constexpr int64_t kMinimumSize = 100000;
    static constexpr int kListId = 1137;
    static constexpr int kPreviewButton = 1138;
    static constexpr int kRemoveButton = 1139;
    static constexpr int kDownloadAndPlayButton = 1140;
    static constexpr int kDownloadOnlyButton = 1141;
    // Marks URLs of the video-sharing site whose videos are fetched by replaying the captured request.
    static constexpr const char* kVideoSharingDomain = "youtube.com";

    // services may be null: the list then keeps its entries without a view.
    SniffedVideoList(WindowServices* services, WindowHandle window);
    ~SniffedVideoList();
    SniffedVideoList(const SniffedVideoList&) = delete;
    SniffedVideoList& operator=(const SniffedVideoList&) = delete;

    // video.url already carries "http://". Drops it when the list is closed, when it is smaller than
    // kMinimumSize or when a listed video has the same URL or the same size. The size is the whole
    // video's for a piece of one, and the sum of its segments for a stream; a stream's sum is never
    // compared with other sizes. A stream, or a piece of a video of unknown total, that is listed already
    // grows its entry instead when its figures are larger.
    void AddDetectedVideo(const DetectedVideo& video);
    void RefreshRows();
    // From now on every detection is dropped.
    void Close();
    void RemoveAt(int index);
    int FindByUrl(const std::string& url) const;
    int FindBySize(int64_t size) const;
    int FindBySerial(int serial) const;
    int GetSelectedRow() const;
    int SlotOfRow(int row) const;
    void SetRowImage(int index, int image);

    // Entries in use; -1 once closed.
    int Count() const;
    SniffedVideo Slot(int index) const;
    // Called (under the list's lock) after each accepted video.
    void SetAcceptedObserver(std::function<void(const SniffedVideo&)> observer);
    // Called (under the list's lock) after a listed entry's figures grew.
    void SetGrownObserver(std::function<void(const SniffedVideo&)> observer);
    // Called (under the list's lock) for each entry that leaves the list, removed or pushed out.
    void SetRemovedObserver(std::function<void(const SniffedVideo&)> observer);
    // Called (under the list's lock) after an entry's details were set.
    void SetDetailsObserver(std::function<void(const SniffedVideo&)> observer);

    // Details are read for the entries: until they arrive, the rows' tool tips say so.
    void SetReadingDetails(bool reading);
    // The details of the entry with this serial; nothing when it is no longer listed.
    void SetDetails(int serial, std::shared_ptr<const MediaDetails> details);
    // What a row's tool tip says of its entry: its details (or why they are missing), then its address.
    static std::string ToolTipText(const SniffedVideo& video, bool readingDetails);
    // "0:07", "12:34", "1:02:03"; rounded to whole seconds.
    static std::string FormatDuration(int64_t microseconds);

    // The content type as listed: every "x-" removed, cut before the first CR LF unless it starts there.
    static std::string CleanType(const std::string& videoType);
    // Decimal number as strtoll reads it; 0 when there are no leading digits.
    static int64_t ParseSize(const std::string& contentLength);
    // "03:07:45 PM" in local time, whatever the process locale.
    static std::string FormatTime(int64_t unixSeconds);
    // "%.2f MB" of size / 1048576, whatever the process locale.
    static std::string FormatSize(int64_t size);

private:
    void RefreshRowsLocked();
    // Enables the buttons when there is an entry and selects the top row.
    void RowsChangedLocked();
    void RemoveAtLocked(int index);
    SniffedVideo& At(int index);
    const SniffedVideo& At(int index) const;
    void GrowLocked(int index, const DetectedVideo& video, int64_t size);
    void ShowToolTipLocked(int index);

    WindowServices* services_;
    WindowHandle window_;
    mutable std::recursive_mutex mutex_;
    int count_ = 0;
    // Entry i (0 the oldest) is slots_[(first_ + i) % kSlotCount].
    std::array<SniffedVideo, kSlotCount> slots_;
    int first_ = 0;
    std::function<void(const SniffedVideo&)> acceptedObserver_;
    std::function<void(const SniffedVideo&)> grownObserver_;
    std::function<void(const SniffedVideo&)> removedObserver_;
    std::function<void(const SniffedVideo&)> detailsObserver_;
    bool readingDetails_ = false;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The table of accepted videos behind the sniffer window's list: filters, numbering, eviction, rows.
#include "sniffer/SniffedVideoList.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace tarnwick {

std::atomic<int> SniffSerialCounter{0};

SniffedVideoList::SniffedVideoList(WindowServices* services, WindowHandle window)
    : services_(services), window_(window) {}

SniffedVideoList::~SniffedVideoList() {
    Close();
}

std::string SniffedVideoList::CleanType(const std::string& videoType) {
    std::string type;
    type.reserve(videoType.size());
    for (size_t i = 0; i < videoType.size();) {
        if (videoType.compare(i, 2, "x-") == 0) {
            i += 2;
            continue;
        }
        type += videoType[i++];
    }
    const size_t lineEnd = type.find("\r\n");
    if (lineEnd != std::string::npos && lineEnd > 0) type.resize(lineEnd);
    return type;
}

int64_t SniffedVideoList::ParseSize(const std::string& contentLength) {
    return static_cast<int64_t>(std::strtoll(contentLength.c_str(), nullptr, 10));
}

std::string SniffedVideoList::FormatTime(int64_t unixSeconds) {
    const std::time_t when = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (!localtime_r(&when, &local)) return "12:00:00 AM";
    // Written out rather than "%I:%M:%S %p" so a process locale cannot change the AM/PM marker.
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    const auto two = [](int value) {
        return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
    };
    return two(hour) + ':' + two(local.tm_min) + ':' + two(local.tm_sec) + (local.tm_hour < 12 ? " AM" : " PM");
}

std::string SniffedVideoList::FormatSize(int64_t size) {
    char text[64];
    const double megabytes = static_cast<double>(size) / 1048576.0;
    auto [end, error] = std::to_chars(text, text + sizeof text - 4, megabytes, std::chars_format::fixed, 2);
    if (error != std::errc()) return "? MB";
    return std::string(text, end) + " MB";
}

void SniffedVideoList::AddDetectedVideo(const DetectedVideo& video) {
    std::lock_guard lock(mutex_);
    if (count_ < 0) return;
    const bool stream = video.extent == VideoExtent::Stream;
    const int64_t size = video.extent == VideoExtent::Whole ? ParseSize(video.contentLength) : video.totalSize;
    if (size < kMinimumSize) return;
    if (const int listed = FindByUrl(video.url); listed >= 0) {
        if (stream || video.extent == VideoExtent::PieceOfUnknown) GrowLocked(listed, video, size);
        return;
    }
    // The same length under another URL counts as the same video; a stream's passing sum says nothing.
    if (!stream && FindBySize(size) >= 0) return;

    SniffedVideo& slot = At(count_);
    slot.serial = ++SniffSerialCounter;
    slot.timeSniffed =
        FormatTime(video.seenAtSeconds != 0 ? video.seenAtSeconds : static_cast<int64_t>(std::time(nullptr)));
    slot.url = video.url;
    slot.requestText = video.requestText;
    slot.size = size;
    slot.type = CleanType(video.videoType);
    slot.rowImage = 0;
    slot.isYouTube = video.url.find(kVideoSharingDomain, 1) != std::string::npos;
    slot.adapter = video.adapter;
    slot.isStream = stream;
    slot.segments = stream ? video.segments : 0;
    slot.lastSeenMs = video.seenAtMs;
    slot.details.reset();
    ++count_;
    const SniffedVideo accepted = slot;

    // Newest first: the new entry is the top row, and a full list loses its bottom one. Only those rows
    // change, so a burst of detections does not rebuild the list each time.
    if (services_) {
        services_->InsertRow(window_, kListId, 0, std::to_string(slot.serial) + ". " + slot.timeSniffed, slot.rowImage,
                             {slot.type, FormatSize(slot.size)});
        ShowToolTipLocked(count_ - 1);
    }
    if (count_ > kMaxEntries)
        RemoveAtLocked(0);
    else
        RowsChangedLocked();
    if (acceptedObserver_) acceptedObserver_(accepted);
}

void SniffedVideoList::GrowLocked(int index, const DetectedVideo& video, int64_t size) {
    SniffedVideo& slot = At(index);
    if (slot.isStream != (video.extent == VideoExtent::Stream)) return;
    if (size <= slot.size && video.segments <= slot.segments) return;
    slot.size = std::max(slot.size, size);
    if (slot.isStream) slot.segments = std::max(slot.segments, video.segments);
    slot.lastSeenMs = video.seenAtMs;
    // Only the row's figures change: the user's selection stays where it is.
    if (services_) services_->SetRowTexts(window_, kListId, count_ - index - 1, {slot.type, FormatSize(slot.size)});
    if (grownObserver_) grownObserver_(slot);
}

void SniffedVideoList::RefreshRows() {
    std::lock_guard lock(mutex_);
    RefreshRowsLocked();
}

void SniffedVideoList::RefreshRowsLocked() {
    if (!services_) return;
    services_->DeleteAllRows(window_, kListId);
    for (int s = count_ - 1; s >= 0; --s) {
        const SniffedVideo& video = At(s);
        const std::string label = std::to_string(video.serial) + ". " + video.timeSniffed;
        services_->InsertRow(window_, kListId, count_ - 1 - s, label, video.rowImage,
                             {video.type, FormatSize(video.size)});
        ShowToolTipLocked(s);
    }
    RowsChangedLocked();
}

void SniffedVideoList::RowsChangedLocked() {
    if (!services_) return;
    const bool any = count_ >= 1;
    for (int id : {kPreviewButton, kRemoveButton, kDownloadAndPlayButton, kDownloadOnlyButton})
        services_->EnableControl(window_, id, any);
    if (any) services_->SelectRow(window_, kListId, 0);
}

void SniffedVideoList::Close() {
    std::lock_guard lock(mutex_);
    count_ = -1;
}

void SniffedVideoList::RemoveAt(int index) {
    std::lock_guard lock(mutex_);
    RemoveAtLocked(index);
}

void SniffedVideoList::RemoveAtLocked(int index) {
    if (count_ <= 0 || index < 0 || index > count_ - 1) return;
    const SniffedVideo removed = std::move(At(index));
    // A full list drops its oldest entry on every new video: the ring's start moves on, nothing is copied.
    if (index == 0)
        first_ = (first_ + 1) % kSlotCount;
    else
        for (int i = index; i < count_ - 1; ++i) At(i) = std::move(At(i + 1));
    const int row = count_ - index - 1;
    --count_;
    if (services_) services_->DeleteRow(window_, kListId, row);
    RowsChangedLocked();
    if (removedObserver_) removedObserver_(removed);
}

int SniffedVideoList::FindByUrl(const std::string& url) const {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count_; ++i)
        if (At(i).url == url) return i;
    return -1;
}

int SniffedVideoList::FindBySize(int64_t size) const {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count_; ++i)
        if (At(i).size == size) return i;
    return -1;
}

int SniffedVideoList::FindBySerial(int serial) const {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count_; ++i)
        if (At(i).serial == serial) return i;
    return -1;
}

int SniffedVideoList::GetSelectedRow() const {
    std::lock_guard lock(mutex_);
    if (!services_) return -1;
    const int rows = services_->RowCount(window_, kListId);
    for (int row = 0; row < rows; ++row)
        if (services_->IsRowSelected(window_, kListId, row)) return row;
    return -1;
}

int SniffedVideoList::SlotOfRow(int row) const {
    std::lock_guard lock(mutex_);
    return count_ - row - 1;
}

void SniffedVideoList::SetRowImage(int index, int image) {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= count_) return;
    At(index).rowImage = image;
    if (services_) services_->SetRowImage(window_, kListId, count_ - index - 1, image);
}

SniffedVideo& SniffedVideoList::At(int index) {
    return slots_[static_cast<size_t>((first_ + index) % kSlotCount)];
}

const SniffedVideo& SniffedVideoList::At(int index) const {
    return slots_[static_cast<size_t>((first_ + index) % kSlotCount)];
}

int SniffedVideoList::Count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

SniffedVideo SniffedVideoList::Slot(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || index >= kSlotCount) return {};
    return At(index);
}

void SniffedVideoList::SetAcceptedObserver(std::function<void(const SniffedVideo&)> observer) {
    std::lock_guard lock(mutex_);
    acceptedObserver_ = std::move(observer);
}

void SniffedVideoList::SetRemovedObserver(std::function<void(const SniffedVideo&)> observer) {
    std::lock_guard lock(mutex_);
    removedObserver_ = std::move(observer);
}

void SniffedVideoList::SetDetailsObserver(std::function<void(const SniffedVideo&)> observer) {
    std::lock_guard lock(mutex_);
    detailsObserver_ = std::move(observer);
}

void SniffedVideoList::SetReadingDetails(bool reading) {
    std::lock_guard lock(mutex_);
    readingDetails_ = reading;
}

void SniffedVideoList::SetDetails(int serial, std::shared_ptr<const MediaDetails> details) {
    std::lock_guard lock(mutex_);
    const int index = FindBySerial(serial);
    if (index < 0 || !details) return;
    SniffedVideo& slot = At(index);
    slot.details = std::move(details);
    ShowToolTipLocked(index);
    if (detailsObserver_) detailsObserver_(slot);
}

void SniffedVideoList::ShowToolTipLocked(int index) {
    if (!services_) return;
    const SniffedVideo& video = At(index);
    services_->SetRowToolTip(window_, kListId, count_ - index - 1, ToolTipText(video, readingDetails_),
                             video.details ? video.details->picture : std::string());
}

std::string SniffedVideoList::FormatDuration(int64_t microseconds) {
    const int64_t seconds = (std::max<int64_t>(microseconds, 0) + 500'000) / 1'000'000;
    char text[48];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

std::string SniffedVideoList::ToolTipText(const SniffedVideo& video, bool readingDetails) {
    std::string text;
    if (const MediaDetails* details = video.details.get()) {
        std::vector<std::string> facts;
        if (details->durationUs) facts.push_back(FormatDuration(*details->durationUs));
        if (details->width > 0)
            facts.push_back(std::to_string(details->width) + " \u00d7 " + std::to_string(details->height));
        std::string codecs = details->videoCodec;
        if (!details->audioCodec.empty()) codecs += (codecs.empty() ? "" : ", ") + details->audioCodec;
        if (!codecs.empty()) facts.push_back(codecs);
        for (const std::string& fact : facts) text += (text.empty() ? "" : " \u00b7 ") + fact;
        if (!details->problem.empty()) text += (text.empty() ? "No details: " : "\n") + details->problem;
        text += "\n";
    } else if (readingDetails) {
        text = "Reading its picture and length...\n";
    }
    // Sniffed text: control characters are not shown.
    std::string address = video.url;
    for (char& c : address)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text + address;
}

void SniffedVideoList::SetGrownObserver(std::function<void(const SniffedVideo&)> observer) {
    std::lock_guard lock(mutex_);
    grownObserver_ = std::move(observer);
}

}  // namespace tarnwick

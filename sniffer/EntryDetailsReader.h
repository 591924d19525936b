// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the details of each entry a list accepts and gives them back to the list.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "download/DetailsWorker.h"
#include "sniffer/SniffedVideoList.h"

namespace tarnwick {

class EntryDetailsReader {
public:
    // How a function reaches the list's thread: the window posts it, the headless runner calls it.
    using ToListThread = std::function<void(std::function<void()>)>;

    EntryDetailsReader(SniffedVideoList& list, MediaDetailsReader::Settings settings, ToListThread toList);
    ~EntryDetailsReader();
    EntryDetailsReader(const EntryDetailsReader&) = delete;
    EntryDetailsReader& operator=(const EntryDetailsReader&) = delete;

    // From the list's observers.
    void Accepted(const SniffedVideo& video);
    void Removed(const SniffedVideo& video);
    // Stops the running reads; nothing more reaches the list.
    void Stop();
    bool Idle() const { return worker_.Idle(); }
    void SetIdleNotifier(std::function<void()> notifier) { worker_.SetIdleNotifier(std::move(notifier)); }

    // The programs that read details: the ffmpeg that FFmpegExe names and the ffprobe beside it.
    static MediaDetailsReader::Settings SettingsFor(const std::string& configFilePath);
    static MediaDetailsReader::Request RequestFor(const SniffedVideo& video);

private:
    DetailsWorker worker_;
};

}  // namespace tarnwick

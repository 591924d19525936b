// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the details of each entry a list accepts and gives them back to the list.
#include "sniffer/EntryDetailsReader.h"

#include <utility>

#include "config/StartupConfiguration.h"
#include "download/MediaDurationProbe.h"

namespace tarnwick {

EntryDetailsReader::EntryDetailsReader(SniffedVideoList& list, MediaDetailsReader::Settings settings,
                                       ToListThread toList)
    : worker_(std::move(settings),
              [&list, toList = std::move(toList)](int serial, std::shared_ptr<const MediaDetails> details) {
                  toList([&list, serial, details = std::move(details)] { list.SetDetails(serial, details); });
              }) {}

EntryDetailsReader::~EntryDetailsReader() {
    Stop();
}

void EntryDetailsReader::Accepted(const SniffedVideo& video) {
    worker_.Enqueue(RequestFor(video));
}

void EntryDetailsReader::Removed(const SniffedVideo& video) {
    worker_.Cancel(video.serial);
}

void EntryDetailsReader::Stop() {
    worker_.Stop();
}

MediaDetailsReader::Settings EntryDetailsReader::SettingsFor(const std::string& configFilePath) {
    MediaDetailsReader::Settings settings;
    settings.tools.ffmpeg = StreamCopierPath(configFilePath);
    settings.tools.ffprobe = MediaDurationProbe::ProbePathFor(settings.tools.ffmpeg);
    return settings;
}

MediaDetailsReader::Request EntryDetailsReader::RequestFor(const SniffedVideo& video) {
    MediaDetailsReader::Request request;
    request.serial = video.serial;
    request.url = video.url;
    request.requestText = video.requestText;
    request.type = video.type;
    request.isStream = video.isStream;
    request.size = video.isStream ? 0 : video.size;
    return request;
}

}  // namespace tarnwick

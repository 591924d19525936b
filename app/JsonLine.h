// SPDX-License-Identifier: GPL-3.0-or-later
// The output lines of headless mode: one JSON object, or one readable line, per accepted video.
#pragma once

#include <string>

#include "capture/source/CaptureStatistics.h"
#include "sniffer/SniffedVideo.h"

namespace tarnwick {

class JsonLine {
public:
    // {"serial":1,"time":"03:07:45 PM","type":"flv","size":123456,"url":"http://...","adapter":"eth0"};
    // a stream's line carries "segments":N after its size. Once its details are read, "duration" (seconds),
    // "width", "height", "video_codec" and "audio_codec" follow, each only when known, and "details_error"
    // says why when something could not be read.
    static std::string Format(const SniffedVideo& video);
    // {"adapter":"eth0","received":N,"dropped":N}, and "interface_dropped" when the interface dropped any.
    static std::string FormatStatistics(const std::string& adapter, const CaptureStatistics& figures);
    // The same facts for a person; control characters of sniffed text are shown as '?'.
    static std::string FormatReadable(const SniffedVideo& video);
    // A JSON string literal with quotes. Valid UTF-8 passes through; any other byte becomes \u00XX.
    static std::string Quote(const std::string& text);
};

}  // namespace tarnwick

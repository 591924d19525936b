// SPDX-License-Identifier: GPL-3.0-or-later
// Says what the kernel dropped during a live capture, so that lost packets are never silent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "capture/source/CaptureStatistics.h"

namespace tarnwick {

class DropReporter {
public:
    using Print = std::function<void(const std::string&)>;

    // json: drop rises and the final figures also go to printOut as JSON lines; without it rises are
    // told on printError. printError gets whole lines without the program's prefix.
    DropReporter(bool json, Print printOut, Print printError);

    // During the run (the caller asks at most once a second): a line when the adapter's drop count
    // rose since the last line about it.
    void ReportRise(const std::string& adapter, const CaptureStatistics& figures);
    // When the adapter's capture has ended: its figures, as tcpdump gives them.
    void ReportEnd(const std::string& adapter, const CaptureStatistics& figures);

private:
    bool json_;
    Print printOut_;
    Print printError_;
    std::map<std::string, uint64_t> reportedDrops_;
};

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Says what the kernel dropped during a live capture, so that lost packets are never silent.
#include "app/DropReporter.h"

#include <utility>

#include "app/JsonLine.h"

namespace tarnwick {

DropReporter::DropReporter(bool json, Print printOut, Print printError)
    : json_(json), printOut_(std::move(printOut)), printError_(std::move(printError)) {}

void DropReporter::ReportRise(const std::string& adapter, const CaptureStatistics& figures) {
    uint64_t& reported = reportedDrops_[adapter];
    if (figures.dropped + figures.interfaceDropped <= reported) return;
    reported = figures.dropped + figures.interfaceDropped;
    if (json_) {
        printOut_(JsonLine::FormatStatistics(adapter, figures));
        return;
    }
    printError_(adapter + ": " + std::to_string(reported) +
                " packets lost under load so far; videos may be missed (a larger --buffer-size helps)");
}

void DropReporter::ReportEnd(const std::string& adapter, const CaptureStatistics& figures) {
    std::string line = adapter + ": " + std::to_string(figures.received) + " packets received by filter, " +
                       std::to_string(figures.dropped) + " packets dropped by kernel";
    if (figures.interfaceDropped != 0)
        line += ", " + std::to_string(figures.interfaceDropped) + " packets dropped by interface";
    printError_(line);
    if (json_) printOut_(JsonLine::FormatStatistics(adapter, figures));
}

}  // namespace tarnwick

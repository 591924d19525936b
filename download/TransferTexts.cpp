// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the download progress displays: percentage caption, time left and transfer rate.
#include "download/TransferTexts.h"

#include <cinttypes>
#include <cstdio>

#include "resources/StringTable.h"

namespace tarnwick {
namespace {

std::string Printed(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Unsigned(uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRIu64, value);
    return buffer;
}

}  // namespace

std::string SizeText(uint64_t bytes) {
    if (bytes < 1024) return FormatString(1619, Unsigned(bytes));
    if (bytes < 1048576) return FormatString(1620, Printed("%0.1f", static_cast<double>(bytes) / 1024.0));
    return FormatString(1621, Printed("%0.2f", static_cast<double>(bytes) / 1048576.0));
}

std::string DurationText(uint32_t seconds) {
    if (seconds < 60) return FormatString(1616, Unsigned(seconds));
    uint32_t minutes = seconds / 60;
    uint32_t rest = seconds % 60;
    if (rest == 0) return FormatString(1617, Unsigned(minutes));
    return FormatString(1618, Unsigned(minutes), Unsigned(rest));
}

std::string TimeLeftText(uint32_t seconds, uint64_t copied, uint64_t total) {
    std::string amount = FormatString(1615, SizeText(copied), SizeText(total));
    return FormatString(1622, DurationText(seconds), amount);
}

std::string TransferRateText(double bytesPerMillisecond) {
    if (bytesPerMillisecond < 1.0) return FormatString(1623, Printed("%0.0f", bytesPerMillisecond * 1024));
    if (bytesPerMillisecond < 10.0) return FormatString(1624, Printed("%0.2f", bytesPerMillisecond));
    return FormatString(1624, Printed("%0.0f", bytesPerMillisecond));
}

std::string PercentCaption(int percent, const std::string& displayName) {
    return FormatString(1613, std::to_string(percent), displayName);
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the download progress displays: percentage caption, time left and transfer rate.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// A byte count as "1023 Bytes", "1.0 KB" or "1.00 MB".
std::string SizeText(uint64_t bytes);

// Seconds as "59 sec", "2 min" or "2 min 5 sec".
std::string DurationText(uint32_t seconds);

// "<time> (<copied> of <total> copied)", e.g. "2 min 5 sec (3.4 MB of 10.25 MB copied)".
std::string TimeLeftText(uint32_t seconds, uint64_t copied, uint64_t total);

// A rate in bytes per millisecond, shown as if it were kilobytes per second: "512 Bytes/Sec", "87 KB/Sec".
std::string TransferRateText(double bytesPerMillisecond);

// The dialog caption while downloading: "42% of clip.flv Completed".
std::string PercentCaption(int percent, const std::string& displayName);

}  // namespace tarnwick

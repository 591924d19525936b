// SPDX-License-Identifier: GPL-3.0-or-later
// How long a download may receive nothing before it fails, unless DownloadStallSeconds says otherwise.
#pragma once

#include <cstdint>

namespace tarnwick {

inline constexpr uint32_t kDefaultStallLimitMs = 60 * 1000;

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The banner's files: where they live and how a fresh banner replaces the last good one.
#pragma once

#include <atomic>
#include <string>

#include "config/AppSettings.h"

namespace tarnwick {

// The program's folder when it can be written, else the per-user folder (an installed copy usually
// sits in a read-only system folder).
std::string BannerFolder(const AppSettings& settings);
inline std::string BannerFile(const std::string& folder) {
    return folder + "/image.gif";
}
inline std::string FreshBannerFile(const std::string& folder) {
    return folder + "/imageNew.gif";
}

// How long a banner fetch may take to reach the site, and how long it may then wait for the next bytes.
// A fetch that keeps receiving is never cut off, however slow.
struct BannerFetchLimits {
    int connectMilliseconds = 5000;
    int stallMilliseconds = 15000;
};

// Fetches the banner into imageNew.gif and, only after a complete fetch, makes it image.gif; a failed
// fetch removes imageNew.gif and leaves image.gif as it was. The fetch is abandoned when the site cannot
// be reached or stops sending within the limits, or when *stop turns true (within a moment).
bool FetchBanner(const std::string& url, const std::string& folder, const BannerFetchLimits& limits,
                 const std::atomic<bool>* stop = nullptr);

}  // namespace tarnwick

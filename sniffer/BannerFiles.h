// The banner's files: where they live and how a fresh banner replaces the last good one.
#pragma once

#include <string>

#include "config/AppSettings.h"

namespace tarnwick {

// The program's folder when it can be written, else the per-user folder (an installed copy usually
// sits in a read-only system folder).
std::string BannerFolder(const AppSettings& settings);
inline std::string BannerFile(const std::string& folder) { return folder + "/image.gif"; }
inline std::string FreshBannerFile(const std::string& folder) { return folder + "/imageNew.gif"; }

// Fetches the banner into imageNew.gif and, only after a complete fetch, makes it image.gif; a failed
// fetch removes imageNew.gif and leaves image.gif as it was. The whole fetch is cut off after
// budgetMilliseconds (plus the moment an abort takes), so an unreachable site cannot hold the window.
bool FetchBanner(const std::string& url, const std::string& folder, int budgetMilliseconds);

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// The maker's three addresses: help page, home page and banner picture.
#pragma once

#include <string>

#include "config/AppSettings.h"

namespace tarnwick {

// Each may be overridden by the configuration keys "HelpUrl", "HomeUrl" and "BannerUrl".
std::string HelpUrl(const AppSettings& settings);
std::string HomeUrl(const AppSettings& settings);
std::string BannerUrl(const AppSettings& settings);

// The help document shipped next to the executable.
std::string ShippedHelpFile(const AppSettings& settings);

}  // namespace tarnwick

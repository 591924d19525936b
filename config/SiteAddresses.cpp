// SPDX-License-Identifier: GPL-3.0-or-later
// The maker's three addresses: help page, home page and banner picture.
#include "config/SiteAddresses.h"

#include "config/StartupConfiguration.h"
#include "resources/ProgramFiles.h"

namespace tarnwick {
namespace {

// There is no maker's web site to fetch from by default: the help and home pages are the shipped help
// document, and the banner address is empty, which keeps the last banner (at first, the shipped one).
constexpr const char* kDefaultBannerUrl = "";

std::string Configured(const AppSettings& settings, const char* key, const std::string& fallback) {
    std::string value = ReadConfigValue(settings, key, "");
    return value.empty() ? fallback : value;
}

}  // namespace

std::string ShippedHelpFile(const AppSettings& settings) {
    return ShippedFilesFolder(settings.programFolder) + "/help/index.html";
}

std::string HelpUrl(const AppSettings& settings) {
    return Configured(settings, "HelpUrl", "file://" + ShippedHelpFile(settings));
}

std::string HomeUrl(const AppSettings& settings) {
    return Configured(settings, "HomeUrl", "file://" + ShippedHelpFile(settings) + "#about");
}

std::string BannerUrl(const AppSettings& settings) {
    return Configured(settings, "BannerUrl", kDefaultBannerUrl);
}

}  // namespace tarnwick

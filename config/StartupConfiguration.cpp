// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up reading and checking of Tarnwick.ini.
#include "config/StartupConfiguration.h"

#include <sys/stat.h>

#include <algorithm>

#include "config/DownloadStallLimit.h"
#include "config/IniReader.h"
#include "config/UserDataFolder.h"
#include "platform/ShowMessage.h"

namespace tarnwick {
namespace {

bool IsNonEmptyRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size != 0;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A value starting with a lowercase x counts as missing: "x" is the default of an absent key.
bool IsMissing(const std::string& value) {
    return !value.empty() && value[0] == 'x';
}

bool Refuse(WindowServices& services, const char* format, const std::string& configFilePath) {
    ShowMessage(services, nullptr, kAppCaption, kMbOk | kMbIconError, format, configFilePath.c_str());
    return false;
}

}  // namespace

std::string ReadConfigValue(const AppSettings& settings, const std::string& key, const std::string& defaultValue) {
    return ReadProfileString(settings.configFilePath, kConfigSection, key, defaultValue);
}

std::string UserConfigFilePath() {
    return UserDataBaseFolder() + "/" + kUserFolderName + "/" + kConfigFileName;
}

uint32_t DownloadStallLimitMs(const std::string& configFilePath) {
    constexpr uint32_t kMostSeconds = 24 * 60 * 60;
    std::string value = ReadProfileString(configFilePath, kConfigSection, "DownloadStallSeconds", "");
    if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos)
        return kDefaultStallLimitMs;
    return std::min<uint32_t>(static_cast<uint32_t>(std::stoul(value)), kMostSeconds) * 1000;
}

std::string KeyLogFilePath(const CommandLine& options, const std::string& configFilePath) {
    if (!options.keyLogFile.empty()) return options.keyLogFile;
    std::string configured = ReadProfileString(configFilePath, kConfigSection, "KeyLogFile", "");
    if (!configured.empty()) return configured;
    return options.environmentKeyLog;
}

CaptureLimits CaptureLimitsFromConfig(const std::string& configFilePath, std::string* warnings) {
    CaptureLimits limits;
    for (const LimitDescription& description : LimitTable()) {
        const std::string key(description.key);
        const std::string value = ReadProfileString(configFilePath, "Limits", key, "");
        if (value.empty()) continue;
        std::string problem;
        if (!limits.SetFromText(key, value, &problem) && warnings)
            *warnings += (warnings->empty() ? "" : "\n") + configFilePath + ": " + problem + "; the default holds";
    }
    return limits;
}

std::string StreamCopierPath(const std::string& configFilePath) {
    std::string value = ReadProfileString(configFilePath, kConfigSection, "FFmpegExe", "");
    return value.empty() ? "ffmpeg" : value;
}

bool DetailsEnabled(const std::string& configFilePath) {
    return ReadProfileString(configFilePath, kConfigSection, "DetailsEnabled", "1") != "0";
}

bool LoadStartupSettings(WindowServices& services, AppSettings& settings, const std::string& programFolder) {
    settings.programFolder = programFolder;
    EnsureUserDataFolder(kUserFolderName);
    settings.configFilePath = UserConfigFilePath();

    std::string player = ReadConfigValue(settings, "FFPlayExe");
    if (IsMissing(player))
        return Refuse(services, "Can't initialize the ffplay path from:\n\n   %s\n\nSorry, can't continue.",
                      settings.configFilePath);
    if (!IsNonEmptyRegularFile(player))
        return Refuse(services, "Can't find the ffplay executable, specified in:\n\n   %s\n\nSorry, can't continue.",
                      settings.configFilePath);
    settings.playerPath = player;

    std::string temp = ReadConfigValue(settings, "TempDir");
    if (IsMissing(temp))
        return Refuse(services, "Can't initialize the TEMP directory from:\n\n   %s\n\nSorry, can't continue.",
                      settings.configFilePath);
    if (!IsDirectory(temp))
        return Refuse(services, "Can't find the TEMP directory, specified in:\n\n   %s\n\nSorry, can't continue.",
                      settings.configFilePath);
    settings.tempFolder = temp;
    settings.readDetails = DetailsEnabled(settings.configFilePath);
    return true;
}

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up reading and checking of Tarnwick.ini.
#pragma once

#include <cstdint>
#include <string>

#include "capture/limits/CaptureLimits.h"
#include "config/AppSettings.h"
#include "config/CommandLine.h"
#include "platform/WindowServices.h"

namespace tarnwick {

inline constexpr const char* kUserFolderName = "Tarnwick";
inline constexpr const char* kConfigFileName = "Tarnwick.ini";
inline constexpr const char* kConfigSection = "Tarnwick";

// Finds the per-user folder, reads the player path and the temporary folder and checks them in that
// order. On the first failure it shows the matching message (no owner, caption "Tarnwick", stop icon)
// and returns false; otherwise the settings are complete.
bool LoadStartupSettings(WindowServices& services, AppSettings& settings, const std::string& programFolder);

// Tarnwick.ini in the per-user folder, also where start-up has not run (the window-less front ends).
std::string UserConfigFilePath();

// How long a download may receive nothing before it fails: the key DownloadStallSeconds (0: no limit),
// 60 seconds when it is absent or not a number.
uint32_t DownloadStallLimitMs(const std::string& configFilePath);

// The TLS key log to read: --keylog, else the KeyLogFile key of the configuration file, else the
// SSLKEYLOGFILE Tarnwick was started with; empty for none.
std::string KeyLogFilePath(const CommandLine& options, const std::string& configFilePath);

// The capture's limits: each key of the [Limits] section that names one (see LimitTable) sets it; a
// value that does not read is left at its default and said in *warnings.
CaptureLimits CaptureLimitsFromConfig(const std::string& configFilePath, std::string* warnings);

// The program that copies HLS and DASH streams into files: the key FFmpegExe, else "ffmpeg" (looked up
// in PATH).
std::string StreamCopierPath(const std::string& configFilePath);

// Whether each video's picture and length are read: yes unless the key DetailsEnabled is 0.
bool DetailsEnabled(const std::string& configFilePath);

// Reads a key of the Tarnwick section of the configuration file, default "x".
std::string ReadConfigValue(const AppSettings& settings, const std::string& key, const std::string& defaultValue = "x");

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's own files lie: beside the executable in a build folder, or in the installed tree
// (bin/tarnwick, lib/tarnwick/tarnwick-capture, share/tarnwick/).
#pragma once

#include <string>

namespace tarnwick {

inline constexpr const char* kCaptureHelperName = "tarnwick-capture";

// Folder of the running executable, without a trailing separator ("." when it cannot be told).
std::string ProgramFolder();

// The capture helper beside the program, else in the installed tree; empty when neither exists.
std::string CaptureHelperPath(const std::string& programFolder);

// Where the installed tree keeps the helper, for advice when it is missing.
std::string InstalledCaptureHelperPath(const std::string& programFolder);

// The folder that holds the shipped help/ pages: the program's folder in a build, share/tarnwick in
// an installed tree.
std::string ShippedFilesFolder(const std::string& programFolder);

// True when the program runs from an installed tree, whose folders are not its to write.
bool IsInstalledCopy(const std::string& programFolder);

}  // namespace tarnwick

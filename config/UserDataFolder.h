// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user data folder that holds Tarnwick.ini.
#pragma once

#include <string>

namespace tarnwick {

// Base folder of per-user data: APPDATA, else XDG_CONFIG_HOME, else $HOME/.config.
std::string UserDataBaseFolder();

// Returns <base>/<folderName> and creates that one level when it is missing; a failure to create it
// is not reported (reading the configuration then simply finds nothing).
std::string EnsureUserDataFolder(const std::string& folderName);

// Folder of the running executable, without a trailing separator.
std::string ExecutableFolder();

}  // namespace tarnwick

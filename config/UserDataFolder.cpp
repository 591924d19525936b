// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user data folder that holds Tarnwick.ini.
#include "config/UserDataFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tarnwick {

std::string UserDataBaseFolder() {
    for (const char* name : {"APPDATA", "XDG_CONFIG_HOME"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "") + "/.config";
}

std::string EnsureUserDataFolder(const std::string& folderName) {
    std::string path = UserDataBaseFolder() + "/" + folderName;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) mkdir(path.c_str(), 0700);
    return path;
}

std::string ExecutableFolder() {
    std::error_code error;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return ".";
    return exe.parent_path().string();
}

}  // namespace tarnwick

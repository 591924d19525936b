// SPDX-License-Identifier: GPL-3.0-or-later
// Where the program's own files lie: beside the executable in a build folder, or in the installed tree.
#include "resources/ProgramFiles.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace tarnwick {

namespace {

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string Normal(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string();
}

}  // namespace

std::string ProgramFolder() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return ".";
    return program.parent_path().string();
}

std::string InstalledCaptureHelperPath(const std::string& programFolder) {
    return Normal(programFolder + "/" TARNWICK_HELPER_FROM_PROGRAM);
}

std::string CaptureHelperPath(const std::string& programFolder) {
    const std::string beside = programFolder + "/" + kCaptureHelperName;
    if (Exists(beside)) return beside;
    const std::string installed = InstalledCaptureHelperPath(programFolder);
    return Exists(installed) ? installed : std::string();
}

bool IsInstalledCopy(const std::string& programFolder) {
    return !Exists(programFolder + "/help/index.html") &&
           Exists(programFolder + "/" TARNWICK_DATA_FROM_PROGRAM "/help/index.html");
}

std::string ShippedFilesFolder(const std::string& programFolder) {
    return IsInstalledCopy(programFolder) ? Normal(programFolder + "/" TARNWICK_DATA_FROM_PROGRAM) : programFolder;
}

}  // namespace tarnwick

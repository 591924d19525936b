// SPDX-License-Identifier: GPL-3.0-or-later
// Temporary folders and file helpers as the download tests name them.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace tarnwick::test {

class TempFolder : public testing::TempDir {
public:
    std::string File(const std::string& name) const { return *this / name; }
};

using testing::ReadFile;
using testing::WriteFile;

inline bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

}  // namespace tarnwick::test

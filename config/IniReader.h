// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one value of an INI file the way the classic profile API does.
#pragma once

#include <string>

namespace tarnwick {

// Longest value kept, in characters (the classic 260-character buffer less its terminator).
constexpr size_t kProfileValueLimit = 259;

// Section and key are matched case-insensitively, blanks around keys and values are trimmed, one
// pair of enclosing quotes is removed, the first match wins and the value is cut to 259 characters.
// A missing file, section or key gives the default.
std::string ReadProfileString(const std::string& filePath, const std::string& section, const std::string& key,
                              const std::string& defaultValue);

}  // namespace tarnwick

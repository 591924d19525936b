// SPDX-License-Identifier: GPL-3.0-or-later
// The program's string table (ids 1600-1628) and plain %1/%2 substitution.
#pragma once

#include <optional>
#include <string>

namespace tarnwick {

// The text of a string-table entry, or nothing for an id the table does not hold.
std::optional<std::string> LoadString(int id);

// Replaces %1 and %2 by the arguments, verbatim (no further formatting).
std::string FormatMessage(const std::string& text, const std::string& first, const std::string& second = {});

// The entry with its placeholders filled; empty for an unknown id.
std::string FormatString(int id, const std::string& first, const std::string& second = {});

}  // namespace tarnwick

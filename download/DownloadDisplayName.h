// SPDX-License-Identifier: GPL-3.0-or-later
// The file name a download dialog shows for a URL path.
#pragma once

#include <string>

namespace tarnwick {

// The text after the last "/" (or, without one, the last "\") of the path; the whole path when it has
// neither or is a single character.
std::string DownloadDisplayName(const std::string& objectPath);

}  // namespace tarnwick

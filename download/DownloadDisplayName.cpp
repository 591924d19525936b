// SPDX-License-Identifier: GPL-3.0-or-later
// The file name a download dialog shows for a URL path.
#include "download/DownloadDisplayName.h"

namespace tarnwick {

std::string DownloadDisplayName(const std::string& objectPath) {
    size_t slash = objectPath.rfind('/');
    if (slash == std::string::npos) slash = objectPath.rfind('\\');
    if (slash != std::string::npos && objectPath.size() > 1) return objectPath.substr(slash + 1);
    return objectPath;
}

}  // namespace tarnwick

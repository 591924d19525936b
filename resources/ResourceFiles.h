// SPDX-License-Identifier: GPL-3.0-or-later
// Where each picture resource lives in the Qt resource system.
#pragma once

#include "resources/ResourceIds.h"

namespace tarnwick {

inline const char* ResourceFile(int id) {
    switch (id) {
        case kAppIconId:
            return ":/art/icon130.png";
        case kSidePictureId:
            return ":/art/bitmap201.png";
        case kRowPicturesId:
            return ":/art/bitmap203.png";
        case kDownloadClipId:
            return ":/art/clip1507.gif";
        default:
            return "";
    }
}

// The banner shipped with the program, shown until a fetched one replaces it.
inline constexpr const char* kShippedBannerFile = ":/art/banner.gif";

}  // namespace tarnwick

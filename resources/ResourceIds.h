// SPDX-License-Identifier: GPL-3.0-or-later
// Resource and control numbers shared by the windows, the dialogs and their tests.
#pragma once

namespace tarnwick {

// Dialog templates
constexpr int kSnifferDialogId = 102;
constexpr int kDownloadDialogId = 1500;

// Pictures
constexpr int kAppIconId = 130;
constexpr int kSidePictureId = 201;
constexpr int kRowPicturesId = 203;
constexpr int kDownloadClipId = 1507;

// Sniffer window controls
constexpr int kVideoListId = 1137;
constexpr int kPreviewButtonId = 1138;
constexpr int kRemoveButtonId = 1139;
constexpr int kDownloadPlayButtonId = 1140;
constexpr int kDownloadOnlyButtonId = 1141;
constexpr int kHelpButtonId = 1142;
constexpr int kBannerId = 1143;

// Download dialog controls
constexpr int kAnimationId = 1501;
constexpr int kStatusTextId = 1502;
constexpr int kSourceTextId = 1503;
constexpr int kProgressBarId = 1504;
constexpr int kTimeLeftTextId = 1505;
constexpr int kRateTextId = 1506;
constexpr int kCancelButtonId = 2;
constexpr int kOkButtonId = 1;

}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the progress dialog that fits a download: the file download or the captured-request replay.
#pragma once

#include "platform/WindowServices.h"
#include "sniffer/VideoActions.h"

namespace tarnwick {

int RunDownloadDialog(WindowServices& services, const DownloadRequest& request);

}  // namespace tarnwick

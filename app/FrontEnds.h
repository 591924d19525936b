// SPDX-License-Identifier: GPL-3.0-or-later
// The front ends that run without the window: headless capture, adapter listing and terminal download.
#pragma once

#include "config/CommandLine.h"

namespace tarnwick {

int RunListAdapters(const CommandLine& options);
int RunHeadless(const CommandLine& options);
int RunTerminalDownload(const CommandLine& options);

}  // namespace tarnwick

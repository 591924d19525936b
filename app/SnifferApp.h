// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: start-up checks, the modal sniffer window, and the exit sequence.
#pragma once

#include "config/CommandLine.h"
#include "platform/QtWindowServices.h"

namespace tarnwick {

class SnifferApp {
public:
    explicit SnifferApp(CommandLine options);

    // Runs start-up, the window and exit; the process's exit status.
    int Run();

    static QtWindowServices& Services();

private:
    bool InitInstance();
    static int TakeScreenshot(class QuillmarkSnifferWindow& window, const std::string& path, bool waitForReplay);
    int ExitInstance();

    CommandLine options_;
    int exitCode_ = 0;
};

}  // namespace tarnwick

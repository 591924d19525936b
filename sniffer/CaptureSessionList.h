// SPDX-License-Identifier: GPL-3.0-or-later
// The running capture sessions, in adapter order, and how they are started.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/session/CaptureSession.h"
#include "config/CommandLine.h"

namespace tarnwick {

using CaptureSessions = std::vector<std::unique_ptr<CaptureSession>>;

// The process-wide list the window fills at set-up and empties when it closes; the video actions walk
// it to register URLs to ignore. Only the window's thread touches it.
CaptureSessions& CaptureSessionList();

struct CaptureStart {
    CaptureSessions sessions;
    // Why nothing is being captured, with the fix; empty when at least one session captures.
    std::string problem;
    // Adapters that could not be opened while others were, a key log that cannot be read yet; empty
    // when there is nothing to say.
    std::string warnings = {};
    // Shared by the sessions; nothing without a key log (unless asked to keep one for later files).
    std::shared_ptr<TlsKeyLog> keyLog = {};
};

// Opens one session per usable adapter (or per --interface name, "any" included), or one session over
// --read's file, reading TLS with the key log that KeyLogFilePath names. With keyLogForLater (and with
// --browser) the sessions share a key log even when none is named, so that a browser's can be followed
// once it is started. Sessions that could not open stay in the list, destroyable at once. Callbacks are
// not yet set.
using CaptureStarter = std::function<CaptureStart()>;
CaptureStart StartCapture(const CommandLine& options, bool keyLogForLater = false);

}  // namespace tarnwick

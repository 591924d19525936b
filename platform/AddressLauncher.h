// SPDX-License-Identifier: GPL-3.0-or-later
// Opens a web address or a local page with the desktop's opener (xdg-open) and tells when that fails.
#pragma once

#include <QString>
#include <functional>

namespace tarnwick {

class AddressLauncher {
public:
    using FailureHandler = std::function<void(const QString& reason)>;

    // Starts the opener without waiting for it. When it cannot be started, or when it ends with a failure
    // later, failed is called on the GUI thread with the reason in words.
    static void Open(const QString& address, FailureHandler failed);

    // What an opener's exit status means, for the message.
    static QString ExitReason(int status);
};

}  // namespace tarnwick

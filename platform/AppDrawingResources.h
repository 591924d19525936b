// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon and dialog background, shared by every window between start-up and exit.
#pragma once

#include <QBrush>
#include <QIcon>

namespace tarnwick {

class AppDrawingResources {
public:
    // Loads the icon resource and makes the brush; Release() drops both before the application ends.
    static void Load();
    static void Release();

    // An empty icon and a plain grey brush when nothing is loaded (tests that build a window alone).
    static const QIcon& AppIcon();
    static const QBrush& DialogBackgroundBrush();
};

}  // namespace tarnwick

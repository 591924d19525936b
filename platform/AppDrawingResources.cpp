// SPDX-License-Identifier: GPL-3.0-or-later
// The program's icon and dialog background, shared by every window between start-up and exit.
#include "platform/AppDrawingResources.h"

#include <QColor>
#include <optional>

#include "resources/ResourceFiles.h"

namespace tarnwick {
namespace {
const QColor kDialogBackground(210, 210, 210);
std::optional<QIcon> appIcon;
std::optional<QBrush> backgroundBrush;
}  // namespace

void AppDrawingResources::Load() {
    appIcon.emplace(QString::fromLatin1(ResourceFile(kAppIconId)));
    backgroundBrush.emplace(kDialogBackground);
}

void AppDrawingResources::Release() {
    backgroundBrush.reset();
    appIcon.reset();
}

const QIcon& AppDrawingResources::AppIcon() {
    static const QIcon none;
    return appIcon ? *appIcon : none;
}

const QBrush& AppDrawingResources::DialogBackgroundBrush() {
    static const QBrush fallback(kDialogBackground);
    return backgroundBrush ? *backgroundBrush : fallback;
}

}  // namespace tarnwick

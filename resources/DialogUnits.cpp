// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog-unit arithmetic shared by the dialog manager and the layout scaler.
#include "resources/DialogUnits.h"

namespace tarnwick {

TemplateFontRequest TemplateFontFor(const ParsedDialogTemplate& parsed, double dpi) {
    TemplateFontRequest wanted;
    int points = 8;
    if (parsed.hasFont) {
        wanted.face = parsed.face;
        points = parsed.pointSize;
        wanted.weight = parsed.weight;
        wanted.italic = parsed.italic != 0;
    } else {
        wanted.face = "Tahoma";
        wanted.weight = 400;
    }
    if (points < 0) points = static_cast<uint16_t>(-points);
    wanted.height = -static_cast<int>(points * dpi / 72 + 0.5);
    return wanted;
}

BaseUnits BaseUnitsFromMeasurement(int widthOf52Letters, int characterHeight) {
    return {static_cast<double>((widthOf52Letters / 26 + 1) / 2), static_cast<double>(characterHeight)};
}

PixelRect ItemToPixels(const DialogItemDefinition& item, BaseUnits u) {
    return {NearestPixel(item.x * u.x / 4), NearestPixel(item.y * u.y / 8), NearestPixel(item.cx * u.x / 4),
            NearestPixel(item.cy * u.y / 8)};
}

PixelRect DialogClientToPixels(const ParsedDialogTemplate& parsed, BaseUnits u) {
    return {0, 0, NearestPixel(parsed.cx * u.x / 4), NearestPixel(parsed.cy * u.y / 8)};
}

}  // namespace tarnwick

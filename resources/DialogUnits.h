// SPDX-License-Identifier: GPL-3.0-or-later
// Dialog-unit arithmetic shared by the dialog manager and the layout scaler.
#pragma once

#include <string>

#include "resources/DialogTemplate.h"

namespace tarnwick {

// The font a template asks for at a resolution: height is negative (a character height in pixels).
struct TemplateFontRequest {
    std::string face;
    int height = 0;
    int weight = 0;
    bool italic = false;
};

struct BaseUnits {
    double x = 0;  // average character width in pixels
    double y = 0;  // character height in pixels
};

struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

// "Tahoma" 8 point, weight 400 when the template has no set-font flag; a point size stored as a
// negative 16-bit number counts by its magnitude; height = -(int)(points x dpi / 72 + 0.5).
TemplateFontRequest TemplateFontFor(const ParsedDialogTemplate& parsed, double dpi);

// Base units from the measured width of the 52 letters a-z A-Z and the font's character height.
BaseUnits BaseUnitsFromMeasurement(int widthOf52Letters, int characterHeight);

inline int NearestPixel(double value) {
    return static_cast<int>(value + 0.5);
}

PixelRect ItemToPixels(const DialogItemDefinition& item, BaseUnits units);
PixelRect DialogClientToPixels(const ParsedDialogTemplate& parsed, BaseUnits units);

inline constexpr const char* kBaseUnitLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

}  // namespace tarnwick

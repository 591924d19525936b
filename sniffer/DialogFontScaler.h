// SPDX-License-Identifier: GPL-3.0-or-later
// Lays a dialog out from its own template at a fixed resolution, with the font the template names.
#pragma once

#include <QFont>
#include <QPointer>
#include <QWidget>
#include <optional>

#include "resources/DialogUnits.h"

namespace tarnwick {

class DialogFontScaler {
public:
    DialogFontScaler() = default;
    ~DialogFontScaler() { Restore(); }
    DialogFontScaler(const DialogFontScaler&) = delete;
    DialogFontScaler& operator=(const DialogFontScaler&) = delete;

    // Lays out the dialog from template bytes (the program's templates by id, or any bytes).
    void Apply(QWidget* dialog, int templateId, double dpi);
    void Apply(QWidget* dialog, std::span<const uint8_t> templateBytes, double dpi);
    // Puts the previous font back on the dialog and the controls found; moves nothing.
    void Restore();

    bool IsApplied() const { return dialogWindow_ != nullptr; }
    double BaseUnitX() const { return baseUnitX_; }
    double BaseUnitY() const { return baseUnitY_; }
    const QFont& Font() const { return font_; }
    int FontHeight() const { return fontHeight_; }  // negative, as the template asked

private:
    // The children matched to the template's items, in order, up to the first item without one.
    std::vector<QWidget*> MatchControls(QWidget* dialog) const;

    int templateId_ = 0;
    std::vector<uint8_t> templateBytes_;
    QPointer<QWidget> dialogWindow_;
    QFont font_;
    QFont previousFont_;
    int fontHeight_ = 0;
    double baseUnitX_ = 0;
    double xDivisor_ = 4.0;
    double baseUnitY_ = 0;
    double yDivisor_ = 8.0;
};

}  // namespace tarnwick

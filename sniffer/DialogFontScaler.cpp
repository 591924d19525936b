// SPDX-License-Identifier: GPL-3.0-or-later
// Lays a dialog out from its own template at a fixed resolution, with the font the template names.
#include "sniffer/DialogFontScaler.h"

#include <QFontMetrics>

#include "platform/DialogManager.h"
#include "resources/DialogResources.h"

namespace tarnwick {
namespace {

// The same font with every attribute marked as set, so a widget keeps it instead of inheriting.
QFont Pinned(QFont font) {
    font.setFamily(font.family());
    if (font.pixelSize() > 0)
        font.setPixelSize(font.pixelSize());
    else
        font.setPointSizeF(font.pointSizeF());
    font.setWeight(font.weight());
    font.setItalic(font.italic());
    return font;
}

}  // namespace

void DialogFontScaler::Apply(QWidget* dialog, int templateId, double dpi) {
    auto bytes = DialogTemplateBytes(templateId);
    Apply(dialog, bytes, dpi);
    templateId_ = templateId;
}

void DialogFontScaler::Apply(QWidget* dialog, std::span<const uint8_t> templateBytes, double dpi) {
    if (IsApplied()) Restore();
    auto parsed = ParseDialogTemplate(templateBytes);
    if (!dialog || !parsed) return;
    templateBytes_.assign(templateBytes.begin(), templateBytes.end());
    dialogWindow_ = dialog;

    TemplateFontRequest wanted = TemplateFontFor(*parsed, dpi);
    fontHeight_ = wanted.height;
    font_ = DialogManager::TemplateFont(*parsed, dpi);
    previousFont_ = dialog->font();
    // Each control keeps its own font until it is placed, as with window fonts; Qt would otherwise
    // hand the dialog's new font down to every child, including those the placement never reaches.
    for (QObject* child : dialog->children())
        if (auto* widget = qobject_cast<QWidget*>(child); widget && !widget->testAttribute(Qt::WA_SetFont))
            widget->setFont(Pinned(widget->font()));
    dialog->setFont(font_);

    BaseUnits units = DialogManager::MeasureBaseUnits(font_);
    baseUnitX_ = units.x;
    baseUnitY_ = units.y;
    xDivisor_ = 4.0;
    yDivisor_ = 8.0;

    PixelRect client = DialogClientToPixels(*parsed, units);
    dialog->resize(client.width, client.height);

    std::vector<QWidget*> controls = MatchControls(dialog);
    for (size_t i = 0; i < controls.size(); ++i) {
        PixelRect r = ItemToPixels(parsed->items[i], units);
        controls[i]->setGeometry(r.x, r.y, r.width, r.height);
        controls[i]->setFont(font_);
    }
}

void DialogFontScaler::Restore() {
    if (!IsApplied()) return;
    QWidget* dialog = dialogWindow_;
    dialog->setFont(previousFont_);
    for (QWidget* control : MatchControls(dialog)) control->setFont(previousFont_);
    dialogWindow_ = nullptr;
    font_ = QFont();
    previousFont_ = QFont();
}

std::vector<QWidget*> DialogFontScaler::MatchControls(QWidget* dialog) const {
    std::vector<QWidget*> matched;
    auto parsed = ParseDialogTemplate(templateBytes_);
    if (!parsed) return matched;
    std::vector<QWidget*> children;
    for (QObject* child : dialog->children())
        if (auto* widget = qobject_cast<QWidget*>(child); widget && !widget->isWindow()) children.push_back(widget);
    size_t next = 0;
    for (const auto& item : parsed->items) {
        while (next < children.size() && DialogManager::ControlId(children[next]) != item.id) ++next;
        if (next == children.size()) break;  // a missing control ends the placement
        matched.push_back(children[next++]);
    }
    return matched;
}

}  // namespace tarnwick

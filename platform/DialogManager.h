// SPDX-License-Identifier: GPL-3.0-or-later
// Creates a dialog's Qt widgets from its binary template; every control carries its id.
#pragma once

#include <QFont>
#include <QWidget>
#include <functional>
#include <optional>

#include "resources/DialogTemplate.h"
#include "resources/DialogUnits.h"

class QDialog;

namespace tarnwick {

class DialogManager {
public:
    // Lets a window supply its own widget for a control (return nullptr to get the standard one).
    using ControlFactory = std::function<QWidget*(const DialogItemDefinition& item, QWidget* parent)>;

    // Sets the caption, window flags and font of the dialog and creates its controls in template order,
    // placed by the template's dialog units at 96 dots per inch.
    static std::optional<ParsedDialogTemplate> CreateFromTemplate(QDialog* dialog, int templateId,
                                                                  const ControlFactory& custom = {});

    // The child control with the given id, or nullptr. Id 0 is the dialog itself.
    static QWidget* Control(QWidget* dialog, int id);
    template <class T>
    static T* Bind(QWidget* dialog, int id) {
        return qobject_cast<T*>(Control(dialog, id));
    }
    static int ControlId(const QObject* control);

    // The template's font at the given resolution: Tahoma 8 point when the template names none.
    static QFont TemplateFont(const ParsedDialogTemplate& parsed, double dpi);
    // Average character width and character height of the font, the way dialog units are defined.
    static BaseUnits MeasureBaseUnits(const QFont& font);
};

}  // namespace tarnwick

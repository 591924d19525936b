// SPDX-License-Identifier: GPL-3.0-or-later
// Creates a dialog's Qt widgets from its binary template; every control carries its id.
#include "platform/DialogManager.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "platform/AnimationControl.h"
#include "platform/ReportListView.h"
#include "resources/DialogResources.h"

namespace tarnwick {
namespace {

constexpr const char* kIdProperty = "controlId";

QWidget* CreateStandardControl(const DialogItemDefinition& item, QWidget* parent) {
    const auto& cls = item.windowClass;
    QString text = QString::fromStdString(item.text);
    if (cls.ordinal == kButtonClass) {
        auto* button = new QPushButton(text, parent);
        button->setAutoDefault(false);
        button->setDefault((item.style & style::kDefPushButton) != 0);
        return button;
    }
    if (cls.ordinal == kStaticClass) {
        auto* label = new QLabel(text, parent);
        if ((item.style & 0x1F) == style::kStaticBlackFrame) label->setFrameStyle(QFrame::Box | QFrame::Plain);
        return label;
    }
    if (cls.name == kListViewClass) return new ReportListView(parent);
    if (cls.name == kProgressClass) {
        auto* bar = new QProgressBar(parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    if (cls.name == kAnimateClass) return new AnimationControl(parent);
    return new QWidget(parent);
}

}  // namespace

QFont DialogManager::TemplateFont(const ParsedDialogTemplate& parsed, double dpi) {
    // The dialog faces of the templates rarely exist here; prefer a face of the same width class
    // (Liberation Sans keeps Arial's metrics) over the system's wider default.
    static const bool substituted = [] {
        QFont::insertSubstitutions("MS Shell Dlg", {"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans"});
        QFont::insertSubstitutions("MS Shell Dlg 2", {"Tahoma", "Liberation Sans", "Arial", "DejaVu Sans"});
        QFont::insertSubstitutions("Tahoma", {"Liberation Sans", "Arial", "DejaVu Sans"});
        return true;
    }();
    (void)substituted;
    TemplateFontRequest wanted = TemplateFontFor(parsed, dpi);
    QFont font(QString::fromStdString(wanted.face));
    font.setPixelSize(std::max(1, -wanted.height));
    if (wanted.weight > 0) font.setWeight(static_cast<QFont::Weight>(std::clamp(wanted.weight, 1, 1000)));
    font.setItalic(wanted.italic);
    return font;
}

BaseUnits DialogManager::MeasureBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    return BaseUnitsFromMeasurement(metrics.horizontalAdvance(QLatin1String(kBaseUnitLetters)), metrics.height());
}

std::optional<ParsedDialogTemplate> DialogManager::CreateFromTemplate(QDialog* dialog, int templateId,
                                                                      const ControlFactory& custom) {
    auto parsed = ParseDialogTemplate(DialogTemplateBytes(templateId));
    if (!parsed) return std::nullopt;
    dialog->setWindowTitle(QString::fromStdString(parsed->caption));
    dialog->setProperty(kIdProperty, 0);
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (parsed->style & style::kSysMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (parsed->style & style::kMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (parsed->exStyle & style::kExTopmost) flags |= Qt::WindowStaysOnTopHint;
    dialog->setWindowFlags(flags);

    QFont font = TemplateFont(*parsed, 96.0);
    dialog->setFont(font);
    BaseUnits units = MeasureBaseUnits(font);
    auto toPixels = [&](const DialogItemDefinition& i) {
        PixelRect r = ItemToPixels(i, units);
        return QRect(r.x, r.y, r.width, r.height);
    };
    PixelRect clientRect = DialogClientToPixels(*parsed, units);
    QSize client(clientRect.width, clientRect.height);
    dialog->resize(client);
    if (!(parsed->style & style::kThickFrame)) dialog->setFixedSize(client);

    for (const auto& item : parsed->items) {
        QWidget* control = custom ? custom(item, dialog) : nullptr;
        if (!control) control = CreateStandardControl(item, dialog);
        control->setProperty(kIdProperty, item.id);
        control->setObjectName(QStringLiteral("control%1").arg(item.id));
        control->setGeometry(toPixels(item));
        control->setEnabled(!(item.style & style::kDisabled));
        control->setVisible((item.style & style::kVisible) != 0);
    }
    return parsed;
}

QWidget* DialogManager::Control(QWidget* dialog, int id) {
    if (!dialog) return nullptr;
    if (id == 0) return dialog;
    for (QObject* child : dialog->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && widget->property(kIdProperty).isValid() && widget->property(kIdProperty).toInt() == id)
            return widget;
    }
    return nullptr;
}

int DialogManager::ControlId(const QObject* control) {
    QVariant id = control ? control->property(kIdProperty) : QVariant();
    return id.isValid() ? id.toInt() : -1;
}

}  // namespace tarnwick

// Creates a dialog's Qt widgets from its binary template; every control carries its id.
#include "app/DialogManager.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "app/ReportListView.h"
#include "controls/AnimationControl.h"
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
    std::string face = parsed.hasFont ? parsed.face : "Tahoma";
    int points = parsed.hasFont ? parsed.pointSize : 8;
    int weight = parsed.hasFont ? parsed.weight : 400;
    if (points < 0) points = static_cast<int16_t>(-points);
    QFont font(QString::fromStdString(face));
    font.setPixelSize(static_cast<int>(points * dpi / 72 + 0.5));
    if (weight > 0) font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(parsed.hasFont && parsed.italic);
    return font;
}

DialogManager::BaseUnits DialogManager::MeasureBaseUnits(const QFont& font) {
    QFontMetrics metrics(font);
    int width = metrics.horizontalAdvance("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    return {static_cast<double>((width / 26 + 1) / 2), static_cast<double>(metrics.height())};
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
        return QRect(Nearest(i.x * units.x / 4), Nearest(i.y * units.y / 8), Nearest(i.cx * units.x / 4),
                     Nearest(i.cy * units.y / 8));
    };
    QSize client(Nearest(parsed->cx * units.x / 4), Nearest(parsed->cy * units.y / 8));
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

// SPDX-License-Identifier: GPL-3.0-or-later
// The layout scaler: font, base units and placements follow the dialog-unit arithmetic.
#include <gtest/gtest.h>

#include <QDialog>
#include <QFontMetrics>
#include <QPushButton>

#include "platform/DialogManager.h"
#include "resources/DialogResources.h"
#include "resources/ResourceIds.h"
#include "sniffer/DialogFontScaler.h"

namespace tarnwick {
namespace {

struct Units {
    double x, y;
};

// Independent of the code under test: measure the font and apply the published definition.
Units Measure(const QFont& font) {
    QFontMetrics m(font);
    int w = m.horizontalAdvance("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    return {double((w / 26 + 1) / 2), double(m.height())};
}
int N(double v) {
    return int(v + 0.5);
}
QRect Place(int x, int y, int cx, int cy, Units u) {
    return QRect(N(x * u.x / 4), N(y * u.y / 8), N(cx * u.x / 4), N(cy * u.y / 8));
}

// A dialog whose children carry the given ids, each at a recognisable starting place.
void AddChildren(QDialog& dialog, std::initializer_list<int> ids) {
    int n = 0;
    for (int id : ids) {
        auto* child = new QPushButton(&dialog);
        child->setProperty("controlId", id);
        child->setGeometry(1, 1 + n++, 5, 5);
    }
}

DialogDefinition HandMade(uint32_t styles, int16_t points, const char* face) {
    DialogDefinition d;
    d.style = styles;
    d.cx = 100;
    d.cy = 50;
    d.pointSize = points;
    d.weight = 700;
    d.face = face;
    for (int id : {11, 12, 13}) {
        DialogItemDefinition item;
        item.id = id;
        item.windowClass.ordinal = kButtonClass;
        item.x = int16_t(id * 2);
        item.y = int16_t(id);
        item.cx = 20;
        item.cy = 10;
        d.items.push_back(item);
    }
    return d;
}

TEST(DialogFontScaler, SnifferTemplateGetsAnElevenPixelFontAndItsClientSize) {
    QDialog dialog;
    DialogManager::CreateFromTemplate(&dialog, kSnifferDialogId);
    QFont before("Courier", 20);
    dialog.setFont(before);
    DialogFontScaler scaler;
    scaler.Apply(&dialog, kSnifferDialogId, 96.0);
    EXPECT_EQ(scaler.FontHeight(), -11);
    EXPECT_EQ(scaler.Font().pixelSize(), 11);
    Units u = Measure(scaler.Font());
    EXPECT_EQ(scaler.BaseUnitX(), u.x);
    EXPECT_EQ(scaler.BaseUnitY(), u.y);
    EXPECT_EQ(dialog.size(), QSize(N(174 * u.x / 4), N(125 * u.y / 8)));
    for (const auto& item : SnifferDialogDefinition().items) {
        QWidget* control = DialogManager::Control(&dialog, item.id);
        EXPECT_EQ(control->geometry(), Place(item.x, item.y, item.cx, item.cy, u)) << item.id;
        EXPECT_EQ(control->font(), scaler.Font()) << item.id;
    }
    // Restore puts the old font back and moves nothing.
    QRect listPlace = DialogManager::Control(&dialog, kVideoListId)->geometry();
    scaler.Restore();
    EXPECT_FALSE(scaler.IsApplied());
    EXPECT_EQ(dialog.font(), before);
    EXPECT_EQ(DialogManager::Control(&dialog, kVideoListId)->geometry(), listPlace);
}

TEST(DialogFontScaler, DownloadTemplateAtTwiceTheResolution) {
    QDialog dialog;
    DialogManager::CreateFromTemplate(&dialog, kDownloadDialogId);
    DialogFontScaler scaler;
    scaler.Apply(&dialog, kDownloadDialogId, 192.0);
    EXPECT_EQ(scaler.FontHeight(), -21);  // 8 x 192 / 72 + 0.5 = 21.8
    Units u = Measure(scaler.Font());
    EXPECT_EQ(DialogManager::Control(&dialog, kCancelButtonId)->geometry(), Place(171, 122, 50, 14, u));
}

TEST(DialogFontScaler, TemplateWithoutSetFontUsesTahomaEightPoint) {
    QDialog dialog;
    AddChildren(dialog, {11, 12, 13});
    auto bytes = BuildDialogTemplate(HandMade(style::kPopup, 20, "Ignored"));
    DialogFontScaler scaler;
    scaler.Apply(&dialog, bytes, 96.0);
    EXPECT_EQ(scaler.FontHeight(), -11);
    EXPECT_EQ(scaler.Font().family(), "Tahoma");
    EXPECT_EQ(scaler.Font().weight(), QFont::Normal);
    Units u = Measure(scaler.Font());
    EXPECT_EQ(DialogManager::Control(&dialog, 13)->geometry(), Place(26, 13, 20, 10, u));
}

TEST(DialogFontScaler, NegativePointSizeCountsByItsMagnitudeInClassicLayoutToo) {
    QDialog dialog;
    AddChildren(dialog, {11, 12, 13});
    auto bytes = BuildClassicDialogTemplate(HandMade(style::kPopup | style::kSetFont, -12, "Liberation Sans"));
    DialogFontScaler scaler;
    scaler.Apply(&dialog, bytes, 96.0);
    EXPECT_EQ(scaler.FontHeight(), -16);               // 12 x 96 / 72 = 16
    EXPECT_EQ(scaler.Font().weight(), QFont::Normal);  // a classic font block has no weight
    Units u = Measure(scaler.Font());
    EXPECT_EQ(DialogManager::Control(&dialog, 11)->geometry(), Place(22, 11, 20, 10, u));
}

TEST(DialogFontScaler, MissingChildStopsThePlacementThere) {
    QDialog dialog;
    AddChildren(dialog, {11, 13});  // 12 is missing
    auto bytes = BuildDialogTemplate(HandMade(style::kPopup | style::kSetFont, 8, "Liberation Sans"));
    DialogFontScaler scaler;
    scaler.Apply(&dialog, bytes, 96.0);
    Units u = Measure(scaler.Font());
    EXPECT_EQ(DialogManager::Control(&dialog, 11)->geometry(), Place(22, 11, 20, 10, u));
    QWidget* later = DialogManager::Control(&dialog, 13);
    EXPECT_EQ(later->geometry(), QRect(1, 2, 5, 5));
    EXPECT_NE(later->font(), scaler.Font());
}

TEST(DialogFontScaler, SecondApplyRestoresFirst) {
    QDialog dialog;
    DialogManager::CreateFromTemplate(&dialog, kSnifferDialogId);
    QFont original = dialog.font();
    DialogFontScaler scaler;
    scaler.Apply(&dialog, kSnifferDialogId, 192.0);
    scaler.Apply(&dialog, kSnifferDialogId, 96.0);
    scaler.Restore();
    EXPECT_EQ(dialog.font(), original);
}

}  // namespace
}  // namespace tarnwick

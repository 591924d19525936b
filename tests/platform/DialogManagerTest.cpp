// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog manager builds each template's controls with their ids, texts, states and rectangles.
#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "platform/AnimationControl.h"
#include "platform/DialogManager.h"
#include "platform/ReportListView.h"
#include "resources/DialogResources.h"
#include "resources/ResourceIds.h"

namespace tarnwick {
namespace {

QRect Expected(const DialogItemDefinition& item, BaseUnits u) {
    auto n = [](double v) { return static_cast<int>(v + 0.5); };
    return QRect(n(item.x * u.x / 4), n(item.y * u.y / 8), n(item.cx * u.x / 4), n(item.cy * u.y / 8));
}

TEST(DialogManager, SnifferTemplateControlsCarryTheirIdsTextsAndRectangles) {
    QDialog dialog;
    auto parsed = DialogManager::CreateFromTemplate(&dialog, kSnifferDialogId);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(dialog.windowTitle(), "Recently Sniffed Videos");
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);

    auto units = DialogManager::MeasureBaseUnits(DialogManager::TemplateFont(*parsed, 96.0));
    EXPECT_GT(units.x, 0);
    EXPECT_GT(units.y, 0);
    EXPECT_EQ(dialog.font().pixelSize(), 11);  // 8 point at 96 dots per inch

    for (const auto& item : SnifferDialogDefinition().items) {
        SCOPED_TRACE(item.id);
        QWidget* control = DialogManager::Control(&dialog, item.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(DialogManager::ControlId(control), item.id);
        EXPECT_EQ(control->geometry(), Expected(item, units));
        EXPECT_EQ(control->isVisibleTo(&dialog), item.id != kHelpButtonId);
    }
    EXPECT_NE(DialogManager::Bind<ReportListView>(&dialog, kVideoListId), nullptr);
    for (int id : {kPreviewButtonId, kRemoveButtonId, kDownloadPlayButtonId, kDownloadOnlyButtonId}) {
        auto* button = DialogManager::Bind<QPushButton>(&dialog, id);
        ASSERT_NE(button, nullptr);
        EXPECT_FALSE(button->isEnabled());
    }
    EXPECT_EQ(DialogManager::Bind<QPushButton>(&dialog, kDownloadPlayButtonId)->text(), "Download && Play");
    EXPECT_EQ(DialogManager::Bind<QPushButton>(&dialog, kHelpButtonId)->text(), "Help...");
    EXPECT_TRUE(DialogManager::Bind<QPushButton>(&dialog, kHelpButtonId)->isEnabled());
    EXPECT_NE(DialogManager::Bind<QLabel>(&dialog, kBannerId), nullptr);
    EXPECT_EQ(DialogManager::Control(&dialog, 4242), nullptr);
}

TEST(DialogManager, DownloadTemplateBuildsProgressAnimationAndDefaultCancel) {
    QDialog dialog;
    auto parsed = DialogManager::CreateFromTemplate(&dialog, kDownloadDialogId);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(dialog.windowTitle(), "File Download");
    auto units = DialogManager::MeasureBaseUnits(DialogManager::TemplateFont(*parsed, 96.0));
    EXPECT_EQ(dialog.size(),
              QSize(static_cast<int>(228 * units.x / 4 + 0.5), static_cast<int>(143 * units.y / 8 + 0.5)));

    auto* cancel = DialogManager::Bind<QPushButton>(&dialog, kCancelButtonId);
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->text(), "Cancel");
    EXPECT_TRUE(cancel->isDefault());
    auto* bar = DialogManager::Bind<QProgressBar>(&dialog, kProgressBarId);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 100);
    auto* animation = DialogManager::Bind<AnimationControl>(&dialog, kAnimationId);
    ASSERT_NE(animation, nullptr);
    EXPECT_TRUE(animation->Open(kDownloadClipId));

    QStringList labels;
    for (QObject* child : dialog.children())
        if (auto* label = qobject_cast<QLabel*>(child); label && DialogManager::ControlId(label) == -1)
            labels << label->text();
    EXPECT_EQ(labels, (QStringList{"Estimated time left:", "Transfer rate:"}));
}

TEST(DialogManager, CustomFactorySuppliesAControlThatStillCarriesItsId) {
    QDialog dialog;
    QWidget* made = nullptr;
    DialogManager::CreateFromTemplate(&dialog, kSnifferDialogId,
                                      [&](const DialogItemDefinition& item, QWidget* parent) {
                                          if (item.id != kBannerId) return static_cast<QWidget*>(nullptr);
                                          return made = new QWidget(parent);
                                      });
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(DialogManager::Control(&dialog, kBannerId), made);
}

}  // namespace
}  // namespace tarnwick

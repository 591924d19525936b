// SPDX-License-Identifier: GPL-3.0-or-later
// The controls of the download dialog template and the texts they show; callable from any thread, changes
// are carried out on the GUI thread.
#include "download/DownloadProgressView.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>

#include "download/TransferTexts.h"
#include "platform/AnimationControl.h"
#include "platform/DialogManager.h"
#include "resources/ResourceIds.h"

namespace tarnwick {
namespace {

QString Text(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// The widest texts a real transfer shows: a week to go, sizes up to 10 GB, a gigabyte per second.
constexpr uint32_t kWidestSeconds = 9999 * 60 + 59;
constexpr uint64_t kWidestSize = 10485754839;  // 9999.99 MB
constexpr double kWidestRate = 999999.0;

int TextWidth(const QLabel* label, const QString& text) {
    return label->fontMetrics().horizontalAdvance(text);
}

// Shows the text on one line; one too long for the label ends in an ellipsis (in the middle for
// addresses and names, whose ends say the most) and shows whole as the tip.
void ShowFitted(QLabel* label, const QString& text, Qt::TextElideMode mode) {
    if (!label) return;
    int room = label->contentsRect().width();
    if (TextWidth(label, text) <= room) {
        label->setText(text);
        label->setToolTip({});
        return;
    }
    label->setText(label->fontMetrics().elidedText(text, mode, room));
    label->setToolTip(text);
}

}  // namespace

template <class Change>
void DownloadProgressView::OnGuiThread(Change change) {
    if (!dialog_) return;
    if (QThread::currentThread() == dialog_->thread()) {
        change();
        return;
    }
    // Queued to the dialog: dropped if the dialog is gone by then.
    QMetaObject::invokeMethod(dialog_.data(), std::move(change), Qt::QueuedConnection);
}

void DownloadProgressView::Create(QDialog* dialog) {
    dialog_ = dialog;
    DialogManager::CreateFromTemplate(dialog, kDownloadDialogId);
    statusText = DialogManager::Bind<QLabel>(dialog, kStatusTextId);
    rateText = DialogManager::Bind<QLabel>(dialog, kRateTextId);
    timeLeftText = DialogManager::Bind<QLabel>(dialog, kTimeLeftTextId);
    progressBar = DialogManager::Bind<QProgressBar>(dialog, kProgressBarId);
    sourceText = DialogManager::Bind<QLabel>(dialog, kSourceTextId);
    animation = DialogManager::Bind<AnimationControl>(dialog, kAnimationId);
    cancelButton = DialogManager::Bind<QPushButton>(dialog, kCancelButtonId);
    WidenForTheWidestTexts();
    WidenCaptions();
}

void DownloadProgressView::WidenCaptions() {
    if (!dialog_) return;
    const QList<QWidget*> controls = dialog_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QLabel* caption : dialog_->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        if (DialogManager::ControlId(caption) != -1) continue;  // only the template's fixed texts
        int needed = TextWidth(caption, caption->text()) + caption->width() - caption->contentsRect().width();
        if (needed <= caption->width()) continue;
        // Up to the next control on the same line, if any.
        int limit = dialog_->width() - caption->x();
        for (QWidget* other : controls) {
            bool sameLine = other->y() < caption->geometry().bottom() && other->geometry().bottom() > caption->y();
            if (other != caption && sameLine && other->x() > caption->x())
                limit = std::min(limit, other->x() - caption->x() - 1);
        }
        caption->resize(std::min(needed, limit), caption->height());
    }
}

void DownloadProgressView::WidenForTheWidestTexts() {
    if (!dialog_ || !timeLeftText || !rateText) return;
    int missing = std::max(TextWidth(timeLeftText, Text(TimeLeftText(kWidestSeconds, kWidestSize, kWidestSize))) -
                               timeLeftText->contentsRect().width(),
                           TextWidth(rateText, Text(TransferRateText(kWidestRate))) - rateText->contentsRect().width());
    if (missing <= 0) return;
    // The texts' column grows to the right; the Cancel button keeps its place at the right edge.
    for (QWidget* control :
         {static_cast<QWidget*>(statusText), static_cast<QWidget*>(sourceText), static_cast<QWidget*>(progressBar),
          static_cast<QWidget*>(timeLeftText), static_cast<QWidget*>(rateText)})
        if (control) control->resize(control->width() + missing, control->height());
    if (cancelButton) cancelButton->move(cancelButton->x() + missing, cancelButton->y());
    QSize size(dialog_->width() + missing, dialog_->height());
    if (dialog_->minimumSize() == dialog_->maximumSize())
        dialog_->setFixedSize(size);
    else
        dialog_->resize(size);
}

void DownloadProgressView::SetStatus(const std::string& text) {
    OnGuiThread([label = statusText, value = Text(text)] { ShowFitted(label, value, Qt::ElideMiddle); });
}

void DownloadProgressView::SetSource(const std::string& text) {
    OnGuiThread([label = sourceText, value = Text(text)] { ShowFitted(label, value, Qt::ElideMiddle); });
}

void DownloadProgressView::SetProgressRange(int low, int high) {
    OnGuiThread([bar = progressBar, low, high] {
        if (bar) bar->setRange(low, high);
    });
}

void DownloadProgressView::ShowPercent(int percent, const std::string& displayName) {
    OnGuiThread([bar = progressBar, dialog = dialog_, percent, caption = Text(PercentCaption(percent, displayName))] {
        // More bytes than announced push the figure past 100; the bar stops at its end.
        if (bar) bar->setValue(std::min(percent, bar->maximum()));
        if (dialog) dialog->setWindowTitle(caption);
    });
}

void DownloadProgressView::ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total) {
    OnGuiThread([label = timeLeftText, value = Text(TimeLeftText(seconds, copied, total))] {
        ShowFitted(label, value, Qt::ElideRight);
    });
}

void DownloadProgressView::ShowTransferRate(double bytesPerMillisecond) {
    OnGuiThread([label = rateText, value = Text(TransferRateText(bytesPerMillisecond))] {
        ShowFitted(label, value, Qt::ElideRight);
    });
}

void DownloadProgressView::PlayAnimation(bool play) {
    OnGuiThread([control = animation, play] {
        if (!control) return;
        if (play)
            control->Play();
        else
            control->Stop();
    });
}

void DownloadProgressView::DisableCancel() {
    OnGuiThread([button = cancelButton] {
        if (button) button->setEnabled(false);
    });
}

}  // namespace tarnwick

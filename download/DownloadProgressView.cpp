// The controls of the download dialog template and the texts they show; callable from any thread, changes
// are carried out on the GUI thread.
#include "download/DownloadProgressView.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

#include "download/TransferTexts.h"
#include "platform/AnimationControl.h"
#include "platform/DialogManager.h"
#include "resources/ResourceIds.h"

namespace tarnwick {
namespace {

QString Text(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
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
}

void DownloadProgressView::SetStatus(const std::string& text) {
    OnGuiThread([label = statusText, value = Text(text)] {
        if (label) label->setText(value);
    });
}

void DownloadProgressView::SetSource(const std::string& text) {
    OnGuiThread([label = sourceText, value = Text(text)] {
        if (label) label->setText(value);
    });
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
        if (label) label->setText(value);
    });
}

void DownloadProgressView::ShowTransferRate(double bytesPerMillisecond) {
    OnGuiThread([label = rateText, value = Text(TransferRateText(bytesPerMillisecond))] {
        if (label) label->setText(value);
    });
}

void DownloadProgressView::PlayAnimation(bool play) {
    OnGuiThread([control = animation, play] {
        if (!control) return;
        if (play) control->Play();
        else control->Stop();
    });
}

void DownloadProgressView::DisableCancel() {
    OnGuiThread([button = cancelButton] {
        if (button) button->setEnabled(false);
    });
}

}  // namespace tarnwick

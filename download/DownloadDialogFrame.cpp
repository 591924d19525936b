// SPDX-License-Identifier: GPL-3.0-or-later
// What both download dialogs share: the template-1500 controls, Cancel and close while the worker runs,
// the worker thread's life, and the throttled progress texts.
#include "download/DownloadDialogFrame.h"

#include <QCloseEvent>
#include <QPushButton>
#include <system_error>

namespace tarnwick {

DownloadDialogFrame::DownloadDialogFrame(WindowServices& services, QWidget* parent)
    : QDialog(parent), services(services) {
    view.Create(this);
    if (view.cancelButton) connect(view.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

int DownloadDialogFrame::exec() {
    int early = OnInitDialog();
    if (early != 0) {
        setResult(early);
        return early;
    }
    return QDialog::exec();
}

bool DownloadDialogFrame::StartWorker() {
    try {
        workerThread = std::thread([this] { RunDownload(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void DownloadDialogFrame::PostFinished() {
    QMetaObject::invokeMethod(
        this, [this] { OnDownloadFinished(); }, Qt::QueuedConnection);
}

void DownloadDialogFrame::OnCancel() {
    AbortTransfer();
    view.DisableCancel();
    ShowAborting();
}

void DownloadDialogFrame::reject() {
    if (finished)
        QDialog::reject();
    else
        OnCancel();
}

void DownloadDialogFrame::closeEvent(QCloseEvent* event) {
    if (finished) {
        QDialog::closeEvent(event);
        return;
    }
    OnCancel();
    event->ignore();
}

void DownloadDialogFrame::OnDestroy() {
    if (!workerThread.joinable()) return;
    if (!finished) AbortTransfer();
    workerThread.join();
}

void DownloadDialogFrame::ShowPercent(int percent) {
    view.ShowPercent(percent, displayName);
}

void DownloadDialogFrame::ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total) {
    view.ShowTimeLeft(seconds, copied, total);
}

void DownloadDialogFrame::ShowTransferRate(double rate) {
    view.ShowTransferRate(rate);
}

void DownloadDialogFrame::ShowProgress(const ProgressTracker::Update& update) {
    if (update.percent) ShowPercent(*update.percent);
    if (update.rate) ShowTransferRate(*update.rate);
    if (update.timeLeft) ShowTimeLeft(update.timeLeft->seconds, update.timeLeft->copied, update.timeLeft->total);
}

}  // namespace tarnwick

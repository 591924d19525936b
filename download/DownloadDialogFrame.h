// SPDX-License-Identifier: GPL-3.0-or-later
// What both download dialogs share: the template-1500 controls, Cancel and close while the worker runs,
// the worker thread's life, and the throttled progress texts.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <thread>

#include "download/DownloadProgressView.h"
#include "download/ProgressTracker.h"
#include "platform/WindowServices.h"

namespace tarnwick {

class DownloadDialogFrame : public QDialog {
    Q_OBJECT
public:
    // Sets the dialog up, starts the download and runs until it ends.
    int exec() override;
    // Escape: cancels the transfer; the dialog ends once the worker has stopped.
    void reject() override;

    std::string DisplayName() const { return displayName; }

protected:
    DownloadDialogFrame(WindowServices& services, QWidget* parent);

    // 0 to go on, otherwise the result the dialog ends with at once.
    virtual int OnInitDialog() = 0;
    virtual void RunDownload() = 0;
    // Stops the transfer from the GUI thread; the worker then ends by itself.
    virtual void AbortTransfer() = 0;
    // Shows "Aborting transfer" in the status line.
    virtual void ShowAborting() = 0;

    virtual void ShowPercent(int percent);
    virtual void ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total);
    virtual void ShowTransferRate(double rate);

    // Starts RunDownload on the worker thread; false when no thread could be made.
    bool StartWorker();
    // The worker's last act: hands the end of the transfer to the GUI thread.
    void PostFinished();
    virtual void OnDownloadFinished() = 0;
    // Shows what the tracker lets through of one progress report.
    void ShowProgress(const ProgressTracker::Update& update);

    void OnCancel();
    // Waits for the worker; the derived dialogs call it from their destructors, while their transfer
    // parts still exist.
    void OnDestroy();
    void closeEvent(QCloseEvent* event) override;

    WindowServices& services;
    DownloadProgressView view;
    std::string displayName;
    bool finished = false;
    std::thread workerThread;
    ProgressTracker tracker;
};

}  // namespace tarnwick

// The download dialog that replays a captured request over plain TCP, with the "File Download" presentation.
#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <thread>

#include "app/WindowServices.h"
#include "download/DownloadProgressView.h"
#include "download/ProgressTracker.h"
#include "download/RawRequestDownloader.h"

namespace tarnwick {

class CYouTubeDownloadDlg : public QDialog, public RawRequestDownloader {
    Q_OBJECT
public:
    explicit CYouTubeDownloadDlg(WindowServices& services, QWidget* parent = nullptr);
    ~CYouTubeDownloadDlg() override;

    // Sets the dialog up, starts the download and runs until it ends: 1 done, 2 cancelled or failed.
    int exec() override;
    // Escape: cancels the transfer; the dialog ends once the worker has stopped.
    void reject() override;

    std::string DisplayName() const { return displayName; }

protected:
    // 0 to go on, otherwise the result the dialog ends with at once.
    virtual int OnInitDialog();
    virtual void RunDownload();
    virtual void ShowPercent(int percent);
    virtual void ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total);
    virtual void ShowTransferRate(double rate);

    void OnProgress(int64_t bytes, int32_t totalKnown, int64_t total) override;
    void SetStatusText(const std::string& text) override;

    void OnCancel();
    void OnDownloadFinished();
    void OnDestroy();
    void closeEvent(QCloseEvent* event) override;

    DownloadProgressView view;
    std::string displayName;
    bool finished = false;
    std::thread workerThread;
    ProgressTracker tracker;

private:
    WindowServices& services_;
    std::atomic<int> downloadResult_{0};
};

}  // namespace tarnwick

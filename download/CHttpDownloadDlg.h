// The "File Download" dialog: fetches one URL into one file on a worker thread while showing progress.
#pragma once

#include <QDialog>
#include <mutex>
#include <string>
#include <thread>

#include "app/WindowServices.h"
#include "download/DownloadProgressView.h"
#include "download/HttpDownloader.h"
#include "download/ProgressTracker.h"

namespace tarnwick {

class CHttpDownloadDlg : public QDialog, public HttpDownloader {
    Q_OBJECT
public:
    // Result for a server that answered 404: the caller tells the user no file was there.
    static constexpr int kResultNotFound = 4;

    explicit CHttpDownloadDlg(WindowServices& services, QWidget* parent = nullptr);
    ~CHttpDownloadDlg() override;

    // Sets the dialog up, starts the download and runs until it ends: 1 done, 2 cancelled or failed, 4 not found.
    int exec() override;
    // Escape: cancels the transfer; the dialog ends once the worker has stopped.
    void reject() override;

    std::string DisplayName() const { return displayName; }
    std::string ErrorText() const;

protected:
    // 0 to go on, otherwise the result the dialog ends with at once.
    virtual int OnInitDialog();
    virtual void RunDownload();
    virtual void ShowPercent(int percent);
    virtual void ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total);
    virtual void ShowTransferRate(double rate);

    void OnStatusCallback(void* handle, uint32_t status, const void* data, uint32_t length) override;
    void OnSystemError(int messageId, uint32_t code) override;
    void OnHttpError(int messageId, uint32_t number) override;
    bool OnCredentialsNeeded(uint32_t& answer) override;
    void SetStatusText(const std::string& text) override;
    void OnContentLength(uint64_t length) override;
    void OnProgress(uint64_t bytesRead, int32_t totalKnown, uint64_t totalSize) override;

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
    void SetErrorText(std::string text);

    WindowServices& services_;
    mutable std::mutex errorLock_;
    std::string errorText_;
};

}  // namespace tarnwick

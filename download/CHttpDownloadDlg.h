// SPDX-License-Identifier: GPL-3.0-or-later
// The "File Download" dialog: fetches one URL into one file on a worker thread while showing progress.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "download/DownloadDialogFrame.h"
#include "download/HttpDownloader.h"
#include "platform/WindowServices.h"

namespace tarnwick {

class CHttpDownloadDlg : public DownloadDialogFrame, public HttpDownloader {
    Q_OBJECT
public:
    // Result for a server that answered 404: the caller tells the user no file was there.
    static constexpr int kResultNotFound = 4;

    // exec() ends with 1 done, 2 cancelled or failed, 4 not found.
    explicit CHttpDownloadDlg(WindowServices& services, QWidget* parent = nullptr);
    ~CHttpDownloadDlg() override;

    std::string ErrorText() const;

protected:
    int OnInitDialog() override;
    void RunDownload() override;
    void AbortTransfer() override { Abort(); }
    void ShowAborting() override { SetStatusTextById(1627); }
    void OnDownloadFinished() override;

    void OnStatusCallback(void* handle, uint32_t status, const void* data, uint32_t length) override;
    void OnSystemError(int messageId, uint32_t code) override;
    void OnHttpError(int messageId, uint32_t number) override;
    bool OnCredentialsNeeded(uint32_t& answer) override;
    bool OnClientCertificateNeeded() override;
    void SetStatusText(const std::string& text) override;
    void OnContentLength(uint64_t length) override;
    void OnProgress(uint64_t bytesRead, int32_t totalKnown, uint64_t totalSize) override;

private:
    void SetErrorText(std::string text);
    // The server's name as the prompts show it: with its port when that is not the scheme's own.
    std::string ServerText() const;
    // Worker thread: runs ask on the GUI thread and waits for its answer. Nothing when the transfer is
    // aborted meanwhile (the dialog closing aborts it), so the worker never waits on a dialog that is gone.
    template <class Answer>
    std::optional<Answer> AskOnGuiThread(std::function<std::optional<Answer>()> ask);

    mutable std::mutex errorLock_;
    std::string errorText_;
    std::atomic<int> downloadResult_{0};
};

}  // namespace tarnwick

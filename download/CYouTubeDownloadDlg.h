// SPDX-License-Identifier: GPL-3.0-or-later
// The download dialog that replays a captured request over plain TCP, with the "File Download" presentation.
#pragma once

#include <atomic>

#include "download/DownloadDialogFrame.h"
#include "download/RawRequestDownloader.h"
#include "platform/WindowServices.h"

namespace tarnwick {

class CYouTubeDownloadDlg : public DownloadDialogFrame, public RawRequestDownloader {
    Q_OBJECT
public:
    // exec() ends with 1 done, 2 cancelled or failed.
    explicit CYouTubeDownloadDlg(WindowServices& services, QWidget* parent = nullptr);
    ~CYouTubeDownloadDlg() override;

protected:
    int OnInitDialog() override;
    void RunDownload() override;
    void AbortTransfer() override { Abort(); }
    void ShowAborting() override { SetStatusTextById(1627); }
    void OnDownloadFinished() override;

    void OnProgress(int64_t bytes, int32_t totalKnown, int64_t total) override;
    void SetStatusText(const std::string& text) override;

private:
    std::atomic<int> downloadResult_{0};
};

}  // namespace tarnwick

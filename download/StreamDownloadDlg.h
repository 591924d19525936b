// SPDX-License-Identifier: GPL-3.0-or-later
// The "File Download" dialog for an HLS or DASH stream: ffmpeg copies it into one file while the
// dialog shows how far it has got.
#pragma once

#include <atomic>

#include "download/DownloadDialogFrame.h"
#include "download/StreamDownloader.h"
#include "platform/WindowServices.h"

namespace tarnwick {

class StreamDownloadDlg : public DownloadDialogFrame, public StreamDownloader {
    Q_OBJECT
public:
    // exec() ends with 1 done, 2 cancelled or failed (a failure is said in a message first).
    explicit StreamDownloadDlg(WindowServices& services, QWidget* parent = nullptr);
    ~StreamDownloadDlg() override;

    // Percent, bytes so far and the size they point to, from what ffmpeg reports: the share of the
    // stream's duration copied, and the bytes written scaled up by it. Nothing known for a live stream.
    struct Estimate {
        uint64_t bytes = 0;
        bool known = false;
        uint64_t total = 0;
    };
    static Estimate EstimateOf(const Progress& progress);

protected:
    int OnInitDialog() override;
    void RunDownload() override;
    void AbortTransfer() override { Abort(); }
    void ShowAborting() override;
    void OnDownloadFinished() override;

private:
    std::atomic<int> downloadResult_{0};
};

}  // namespace tarnwick

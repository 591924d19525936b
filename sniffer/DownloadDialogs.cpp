// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the progress dialog that fits a download: the file download, the captured-request replay, or a
// stream's copy.
#include "sniffer/DownloadDialogs.h"

#include "download/CHttpDownloadDlg.h"
#include "download/CYouTubeDownloadDlg.h"
#include "download/StreamDownloadDlg.h"

namespace tarnwick {

int RunDownloadDialog(WindowServices& services, const DownloadRequest& request) {
    if (request.stream) {
        StreamDownloadDlg dialog(services);
        dialog.url = request.url;
        dialog.filePath = request.filePath;
        // The browser's cookies, referrer and agent go with every fetch of the stream.
        dialog.capturedRequest = request.requestText;
        dialog.ffmpegPath = request.ffmpegPath;
        dialog.stallLimitMs = request.stallLimitMs;
        return dialog.exec();
    }
    if (request.replayCapturedRequest) {
        CYouTubeDownloadDlg dialog(services);
        dialog.url = request.url;
        dialog.requestText = request.requestText;
        dialog.filePath = request.filePath;
        dialog.expectedSize = request.expectedSize;
        dialog.promptOverwrite = 0;  // the save dialog has asked already
        dialog.stallLimitMs = request.stallLimitMs;
        return dialog.exec();
    }
    CHttpDownloadDlg dialog(services);
    dialog.url = request.url;
    dialog.filePath = request.filePath;
    dialog.userAgent = kDownloadUserAgent;
    // The browser's request, when it was captured: its cookies, referrer and agent are sent again.
    dialog.capturedRequest = request.requestText;
    dialog.promptOverwrite = 0;
    dialog.stallLimitMs = request.stallLimitMs;
    return dialog.exec();
}

}  // namespace tarnwick

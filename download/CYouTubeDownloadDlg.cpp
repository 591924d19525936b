// SPDX-License-Identifier: GPL-3.0-or-later
// The download dialog that replays a captured request over plain TCP, with the "File Download" presentation.
#include "download/CYouTubeDownloadDlg.h"

#include <sys/stat.h>

#include "download/DownloadDisplayName.h"
#include "download/HttpDownloader.h"
#include "platform/AnimationControl.h"
#include "platform/QtWindowServices.h"
#include "platform/ShowMessage.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"

namespace tarnwick {

CYouTubeDownloadDlg::CYouTubeDownloadDlg(WindowServices& services, QWidget* parent)
    : DownloadDialogFrame(services, parent) {}

CYouTubeDownloadDlg::~CYouTubeDownloadDlg() {
    OnDestroy();
}

int CYouTubeDownloadDlg::OnInitDialog() {
    tracker = ProgressTracker();
    if (view.animation) view.animation->Open(kDownloadClipId);

    struct stat info {};
    if (!filePath.empty() && ::stat(filePath.c_str(), &info) == 0 && promptOverwrite) {
        int answer = services.MessageBox(QtWindowServices::Handle(this), FormatString(1625, filePath), kAppCaption,
                                         kMbYesNo | kMbIconQuestion);
        if (answer != kIdYes) return kIdCancel;
    }
    // The parse only serves the texts; the connection takes its host from `url` itself.
    uint32_t serviceType = 0;
    std::string serverName, objectName;
    uint16_t serverPort = 0;
    if (!HttpDownloader::ParseUrl(url, serviceType, serverName, objectName, serverPort)) return kIdCancel;
    displayName = DownloadDisplayName(objectName);
    view.SetSource(FormatString(1600, displayName, serverName));
    view.PlayAnimation(true);
    return StartWorker() ? 0 : kIdCancel;
}

void CYouTubeDownloadDlg::RunDownload() {
    downloadResult_ = Download();
    PostFinished();
}

void CYouTubeDownloadDlg::OnDownloadFinished() {
    finished = true;
    view.PlayAnimation(false);
    if (abortFlag.load()) {
        done(kIdCancel);
        return;
    }
    if (downloadResult_ == 0) {
        // A refused or broken download is said so instead of passing for a saved video.
        services.MessageBox(QtWindowServices::Handle(this), ErrorText(), kAppCaption, kMbOk | kMbIconExclamation);
        done(kIdCancel);
        return;
    }
    done(kIdOk);
}

void CYouTubeDownloadDlg::OnProgress(int64_t bytes, int32_t totalKnown, int64_t total) {
    // A size of 0 or less is treated as unknown.
    bool known = totalKnown != 0 && total > 0;
    ShowProgress(
        tracker.Advance(static_cast<uint64_t>(bytes < 0 ? 0 : bytes), known, known ? static_cast<uint64_t>(total) : 0));
}

void CYouTubeDownloadDlg::SetStatusText(const std::string& text) {
    view.SetStatus(text);
}

}  // namespace tarnwick

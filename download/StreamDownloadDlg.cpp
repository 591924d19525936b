// SPDX-License-Identifier: GPL-3.0-or-later
// The "File Download" dialog for an HLS or DASH stream: ffmpeg copies it into one file while the
// dialog shows how far it has got.
#include "download/StreamDownloadDlg.h"

#include <algorithm>

#include "download/DownloadDisplayName.h"
#include "download/HttpDownloader.h"
#include "platform/AnimationControl.h"
#include "platform/QtWindowServices.h"
#include "platform/ShowMessage.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"

namespace tarnwick {

StreamDownloadDlg::StreamDownloadDlg(WindowServices& services, QWidget* parent)
    : DownloadDialogFrame(services, parent) {
    onProgress = [this](const Progress& progress) {
        const Estimate estimate = EstimateOf(progress);
        ShowProgress(tracker.Advance(estimate.bytes, estimate.known, estimate.total));
    };
}

StreamDownloadDlg::~StreamDownloadDlg() {
    OnDestroy();
}

StreamDownloadDlg::Estimate StreamDownloadDlg::EstimateOf(const Progress& progress) {
    Estimate estimate;
    estimate.bytes = static_cast<uint64_t>(std::max<int64_t>(progress.bytesWritten, 0));
    // Too little copied yet for a fair estimate of the whole, or nothing to measure it against.
    if (!progress.durationUs || *progress.durationUs <= 0 || progress.copiedUs <= 0 || estimate.bytes == 0)
        return estimate;
    const int64_t copied = std::min(progress.copiedUs, *progress.durationUs);
    estimate.known = true;
    estimate.total = static_cast<uint64_t>(static_cast<double>(estimate.bytes) *
                                           static_cast<double>(*progress.durationUs) / static_cast<double>(copied));
    return estimate;
}

int StreamDownloadDlg::OnInitDialog() {
    tracker = ProgressTracker();
    if (view.animation) view.animation->Open(kDownloadClipId);
    // The parse only serves the texts; ffmpeg reads the address itself.
    uint32_t serviceType = 0;
    std::string serverName, objectName;
    uint16_t serverPort = 0;
    if (!HttpDownloader::ParseUrl(url, serviceType, serverName, objectName, serverPort)) return kIdCancel;
    displayName = DownloadDisplayName(objectName);
    view.SetSource(FormatString(1600, displayName, serverName));
    view.SetStatus("Copying the stream with ffmpeg");
    view.SetProgressRange(0, 100);
    view.PlayAnimation(true);
    return StartWorker() ? 0 : kIdCancel;
}

void StreamDownloadDlg::RunDownload() {
    downloadResult_ = Download();
    PostFinished();
}

void StreamDownloadDlg::ShowAborting() {
    view.SetStatus(LoadString(1627).value_or(""));
}

void StreamDownloadDlg::OnDownloadFinished() {
    finished = true;
    view.PlayAnimation(false);
    if (IsAborted()) {
        done(kIdCancel);
        return;
    }
    if (downloadResult_ != 1) {
        std::string error = ErrorText();
        if (error.empty()) error = "The stream could not be saved.";
        services.MessageBox(QtWindowServices::Handle(this), error, kAppCaption, kMbOk | kMbIconExclamation);
        done(kIdCancel);
        return;
    }
    done(kIdOk);
}

}  // namespace tarnwick

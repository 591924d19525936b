// The download dialog that replays a captured request over plain TCP, with the "File Download" presentation.
#include "download/CYouTubeDownloadDlg.h"

#include <QCloseEvent>
#include <QPushButton>
#include <sys/stat.h>
#include <system_error>

#include "app/QtWindowServices.h"
#include "app/ShowMessage.h"
#include "controls/AnimationControl.h"
#include "download/DownloadDisplayName.h"
#include "download/HttpDownloader.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"

namespace tarnwick {

CYouTubeDownloadDlg::CYouTubeDownloadDlg(WindowServices& services, QWidget* parent)
    : QDialog(parent), services_(services) {
    view.Create(this);
    if (view.cancelButton) connect(view.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

CYouTubeDownloadDlg::~CYouTubeDownloadDlg() { OnDestroy(); }

int CYouTubeDownloadDlg::exec() {
    int early = OnInitDialog();
    if (early != 0) {
        setResult(early);
        return early;
    }
    return QDialog::exec();
}

int CYouTubeDownloadDlg::OnInitDialog() {
    tracker = ProgressTracker();
    if (view.animation) view.animation->Open(kDownloadClipId);

    struct stat info {};
    if (!filePath.empty() && ::stat(filePath.c_str(), &info) == 0 && promptOverwrite) {
        int answer = services_.MessageBox(QtWindowServices::Handle(this), FormatString(1625, filePath), kAppCaption,
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
    try {
        workerThread = std::thread([this] { RunDownload(); });
    } catch (const std::system_error&) {
        return kIdCancel;
    }
    return 0;
}

void CYouTubeDownloadDlg::RunDownload() {
    downloadResult_ = Download();
    QMetaObject::invokeMethod(this, [this] { OnDownloadFinished(); }, Qt::QueuedConnection);
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
        services_.MessageBox(QtWindowServices::Handle(this), ErrorText(), kAppCaption, kMbOk | kMbIconExclamation);
        done(kIdCancel);
        return;
    }
    done(kIdOk);
}

void CYouTubeDownloadDlg::OnCancel() {
    Abort();
    view.DisableCancel();
    SetStatusTextById(1627);
}

void CYouTubeDownloadDlg::reject() {
    if (finished) QDialog::reject();
    else OnCancel();
}

void CYouTubeDownloadDlg::closeEvent(QCloseEvent* event) {
    if (finished) {
        QDialog::closeEvent(event);
        return;
    }
    OnCancel();
    event->ignore();
}

void CYouTubeDownloadDlg::OnDestroy() {
    if (!workerThread.joinable()) return;
    if (!finished) Abort();
    workerThread.join();
}

void CYouTubeDownloadDlg::ShowPercent(int percent) { view.ShowPercent(percent, displayName); }

void CYouTubeDownloadDlg::ShowTimeLeft(uint32_t seconds, uint64_t copied, uint64_t total) {
    view.ShowTimeLeft(seconds, copied, total);
}

void CYouTubeDownloadDlg::ShowTransferRate(double rate) { view.ShowTransferRate(rate); }

void CYouTubeDownloadDlg::OnProgress(int64_t bytes, int32_t totalKnown, int64_t total) {
    // A size of 0 or less is treated as unknown.
    bool known = totalKnown != 0 && total > 0;
    ProgressTracker::Update update = tracker.Advance(static_cast<uint64_t>(bytes < 0 ? 0 : bytes), known,
                                                     known ? static_cast<uint64_t>(total) : 0);
    if (update.percent) ShowPercent(*update.percent);
    if (update.rate) ShowTransferRate(*update.rate);
    if (update.timeLeft) ShowTimeLeft(update.timeLeft->seconds, update.timeLeft->copied, update.timeLeft->total);
}

void CYouTubeDownloadDlg::SetStatusText(const std::string& text) { view.SetStatus(text); }

}  // namespace tarnwick

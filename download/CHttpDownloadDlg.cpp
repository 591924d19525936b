// SPDX-License-Identifier: GPL-3.0-or-later
// The "File Download" dialog: fetches one URL into one file on a worker thread while showing progress.
#include "download/CHttpDownloadDlg.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>

#include "download/DownloadDisplayName.h"
#include "platform/AnimationControl.h"
#include "platform/QtWindowServices.h"
#include "platform/ShowMessage.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"

namespace tarnwick {

CHttpDownloadDlg::CHttpDownloadDlg(WindowServices& services, QWidget* parent) : DownloadDialogFrame(services, parent) {}

CHttpDownloadDlg::~CHttpDownloadDlg() {
    OnDestroy();
}

std::string CHttpDownloadDlg::ErrorText() const {
    std::lock_guard lock(errorLock_);
    return errorText_;
}

void CHttpDownloadDlg::SetErrorText(std::string text) {
    std::lock_guard lock(errorLock_);
    errorText_ = std::move(text);
}

int CHttpDownloadDlg::OnInitDialog() {
    SetErrorText({});
    SettleResumeOffset();
    tracker = ProgressTracker(resumeOffset);
    if (view.animation) view.animation->Open(kDownloadClipId);

    struct stat info {};
    if (!filePath.empty() && ::stat(filePath.c_str(), &info) == 0 && resumeOffset == 0 && promptOverwrite) {
        int answer = services.MessageBox(QtWindowServices::Handle(this), FormatString(1625, filePath), kAppCaption,
                                         kMbYesNo | kMbIconQuestion);
        if (answer != kIdYes) return kIdCancel;
    }
    if (!ParseUrl(url, serviceType, serverName, HttpDownloader::objectName, serverPort)) return kIdCancel;
    displayName = DownloadDisplayName(HttpDownloader::objectName);
    view.SetSource(FormatString(1600, displayName, serverName));
    view.PlayAnimation(true);
    return StartWorker() ? 0 : kIdCancel;
}

void CHttpDownloadDlg::RunDownload() {
    downloadResult_ = DownloadToFile();
    PostFinished();
}

void CHttpDownloadDlg::OnDownloadFinished() {
    finished = true;
    view.PlayAnimation(false);
    if (IsAborted()) {
        done(kIdCancel);
        return;
    }
    std::string error = ErrorText();
    if (downloadResult_ == 1) {
        done(kIdOk);
        return;
    }
    // A failure that no hook put into words still must not pass for a finished download.
    if (error.empty()) error = LastErrorDescription();
    if (error.empty()) error = "The download did not complete.";
    size_t notFound = error.find("Response Code:404");
    if (notFound != std::string::npos && notFound > 0) {
        done(kResultNotFound);
        return;
    }
    services.MessageBox(QtWindowServices::Handle(this), error, kAppCaption, kMbOk | kMbIconExclamation);
    done(kIdCancel);
}

void CHttpDownloadDlg::OnStatusCallback(void*, uint32_t status, const void* data, uint32_t length) {
    int id = 0;
    switch (status) {
        case kStatusResolvingName:
            id = 1602;
            break;
        case kStatusNameResolved:
            id = 1603;
            break;
        case kStatusConnecting:
            id = 1604;
            break;
        case kStatusConnected:
            id = 1601;
            break;
        case kStatusRedirect:
            id = 1605;
            break;
        default:
            return;
    }
    const char* text = static_cast<const char*>(data);
    SetStatusTextWith(id, text ? std::string(text, strnlen(text, length)) : std::string());
}

void CHttpDownloadDlg::OnSystemError(int messageId, uint32_t code) {
    // Network, file and memory failures are shown like HTTP errors instead of passing for a finished download.
    std::string text = FormatString(messageId, std::to_string(code));
    std::string description = LastErrorDescription();
    if (!description.empty()) text += "\n" + description;
    SetErrorText(std::move(text));
}

void CHttpDownloadDlg::OnHttpError(int messageId, uint32_t number) {
    SetErrorText(FormatString(messageId, std::to_string(number)));
}

std::string CHttpDownloadDlg::ServerText() const {
    uint16_t schemePort = serviceType == kServiceHttps ? 443 : 80;
    return serverPort == schemePort ? serverName : serverName + ":" + std::to_string(serverPort);
}

template <class Answer>
std::optional<Answer> CHttpDownloadDlg::AskOnGuiThread(std::function<std::optional<Answer>()> ask) {
    struct Exchange {
        std::mutex mutex;
        std::condition_variable answered;
        bool done = false;
        std::optional<Answer> answer;
    };
    auto exchange = std::make_shared<Exchange>();
    // Dropped by Qt when the dialog is gone before it runs; the abort below then ends the wait.
    QMetaObject::invokeMethod(
        this,
        [exchange, ask = std::move(ask)] {
            std::optional<Answer> answer = ask();
            std::lock_guard lock(exchange->mutex);
            exchange->answer = std::move(answer);
            exchange->done = true;
            exchange->answered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(exchange->mutex);
    while (!exchange->answered.wait_for(lock, std::chrono::milliseconds(50), [&] { return exchange->done; }))
        if (IsAborted()) return std::nullopt;
    return std::move(exchange->answer);
}

bool CHttpDownloadDlg::OnCredentialsNeeded(uint32_t& answer) {
    CredentialsRequest request;
    request.proxy = ResponseCode() == 407;
    request.host = request.proxy ? ProxyName() : ServerText();
    request.realm = ChallengeRealm();
    request.userName = request.proxy ? proxyUserName : userName;
    // A name is filled in only once credentials were sent, and they were refused.
    request.refused = !request.userName.empty();
    std::optional<Credentials> given = AskOnGuiThread<Credentials>(
        [this, request] { return services.AskCredentials(QtWindowServices::Handle(this), request); });
    if (!given) {
        // Cancel: the answer 0 stops the transfer, as the Cancel button of this dialog does.
        answer = 0;
        Abort();
        return false;
    }
    // Kept in this object for the transfer's retries only, never written anywhere.
    bool applied = false;
    if (request.proxy) {
        proxyUserName = given->userName;
        proxyPassword = given->password;
        applied = ApplyProxyCredentials();
    } else {
        userName = given->userName;
        password = given->password;
        applied = ApplyServerCredentials();
    }
    answer = applied ? kAnswerRetry : 0;
    return applied;
}

bool CHttpDownloadDlg::OnClientCertificateNeeded() {
    std::optional<ClientCertificateChoice> chosen = AskOnGuiThread<ClientCertificateChoice>([this] {
        return services.AskClientCertificate(QtWindowServices::Handle(this), ClientCertificateRequest{ServerText()});
    });
    // Cancel leaves the demand unanswered: the send fails and says that a certificate was asked for.
    if (!chosen) return false;
    clientCertificate = ClientCertificate{chosen->path, chosen->passPhrase};
    return HttpDownloader::OnClientCertificateNeeded();
}

void CHttpDownloadDlg::SetStatusText(const std::string& text) {
    view.SetStatus(text);
}

void CHttpDownloadDlg::OnContentLength(uint64_t) {
    view.SetProgressRange(0, 100);
}

void CHttpDownloadDlg::OnProgress(uint64_t bytesRead, int32_t totalKnown, uint64_t totalSize) {
    ShowProgress(tracker.Advance(bytesRead, totalKnown != 0, totalSize));
}

}  // namespace tarnwick

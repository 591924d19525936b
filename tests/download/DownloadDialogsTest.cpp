// SPDX-License-Identifier: GPL-3.0-or-later
// Both download dialogs on the offscreen platform, against loopback servers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "AuthenticatingServers.h"
#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "StreamTestSite.h"
#include "TempPath.h"
#include "UntrustedHttpsServer.h"
#include "download/CHttpDownloadDlg.h"
#include "download/CYouTubeDownloadDlg.h"
#include "download/DownloadProgressView.h"
#include "download/StreamDownloadDlg.h"
#include "platform/CredentialsDialog.h"
#include "platform/DialogManager.h"
#include "platform/QtWindowServices.h"
#include "platform/RecordingWindowServices.h"
#include "resources/ResourceIds.h"

namespace tarnwick {
namespace {

using test::Exists;
using test::HttpTestServer;
using test::ReadFile;
using test::SampleBody;
using test::ScriptedTcpServer;
using test::TempFolder;
using ::testing::HasSubstr;
using ::testing::StartsWith;

QString Label(QWidget* dialog, int id) {
    return DialogManager::Bind<QLabel>(dialog, id)->text();
}

// What the dialog showed when Cancel had been pressed.
struct CancelObservation {
    bool pressed = false;
    bool enabledAfter = true;
    QString statusAfter;
};

// Presses Cancel twice after the delay, as an impatient user would.
void PressCancelLater(QDialog* dialog, CancelObservation& seen, int delayMs = 300) {
    QTimer::singleShot(delayMs, dialog, [dialog, &seen] {
        auto* cancel = DialogManager::Bind<QPushButton>(dialog, kCancelButtonId);
        cancel->click();
        seen.pressed = true;
        seen.enabledAfter = cancel->isEnabled();
        seen.statusAfter = Label(dialog, kStatusTextId);
        cancel->click();  // disabled: no effect
    });
}

class HttpDialogTest : public ::testing::Test {
protected:
    HttpTestServer server;
    TempFolder folder;
    RecordingWindowServices services;
    std::string target = folder.File("saved.flv");

    void Prepare(CHttpDownloadDlg& dialog, const std::string& url) {
        dialog.url = url;
        dialog.filePath = target;
        dialog.userAgent = kDownloadUserAgent;
        dialog.promptOverwrite = 0;
        QTimer::singleShot(20000, &dialog, [&dialog] { dialog.reject(); });  // never hang the suite
    }
};

TEST_F(HttpDialogTest, CompleteDownloadEndsWithOkAndShowsItsTexts) {
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, server.Url("/file.bin"));
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    EXPECT_EQ(dialog.windowTitle(), "100% of file.bin Completed");
    EXPECT_EQ(Label(&dialog, kSourceTextId), "file.bin from 127.0.0.1");
    EXPECT_EQ(Label(&dialog, kStatusTextId), "Retrieving the file");
    EXPECT_EQ(DialogManager::Bind<QProgressBar>(&dialog, kProgressBarId)->value(), 100);
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(HttpDialogTest, NotFoundEndsWithFourAndNoMessage) {
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, server.Url("/missing"));
    EXPECT_EQ(dialog.exec(), CHttpDownloadDlg::kResultNotFound);
    EXPECT_TRUE(services.Messages().empty());
    EXPECT_FALSE(Exists(target));
}

TEST_F(HttpDialogTest, ServerErrorIsShownAndEndsWithCancel) {
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, server.Url("/broken"));
    EXPECT_EQ(dialog.exec(), kIdCancel);
    auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Failed to receive a valid HTTP response from the server, Response Code:500");
    EXPECT_EQ(messages[0].caption, "Tarnwick");
    EXPECT_EQ(messages[0].type, kMbOk | kMbIconExclamation);
}

TEST_F(HttpDialogTest, NetworkAndFileFailuresAreShownNotPassedOffAsDone) {
    {
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/clip.flv");
        EXPECT_EQ(dialog.exec(), kIdCancel);
        EXPECT_FALSE(Exists(target));
    }
    {
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, server.Url("/file.bin"));
        dialog.filePath = "/dev/full";
        EXPECT_EQ(dialog.exec(), kIdCancel);
    }
    {
        // A failure that no hook reports is still a failure.
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, server.Url("/file.bin"));
        dialog.accessType = 3;
        EXPECT_EQ(dialog.exec(), kIdCancel);
    }
    auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_THAT(messages[0].text, StartsWith("An error occurred connecting to the server, Error:7"));
    EXPECT_THAT(messages[1].text, StartsWith("An error occurred while downloading the file, Error:28"));
    EXPECT_EQ(messages[2].text, "Unknown proxy access type 3");
}

TEST_F(HttpDialogTest, CancelAbortsDisablesTheButtonAndRemovesTheNewFile) {
    ScriptedTcpServer stalled({{"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(2000, 'v'), 0}},
                              true);
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, "http://127.0.0.1:" + std::to_string(stalled.Port()) + "/videos/clip.flv");
    CancelObservation seen;
    PressCancelLater(&dialog, seen);
    EXPECT_EQ(dialog.exec(), kIdCancel);
    EXPECT_TRUE(seen.pressed);
    EXPECT_FALSE(seen.enabledAfter);
    EXPECT_EQ(seen.statusAfter, "Aborting transfer");
    EXPECT_EQ(dialog.DisplayName(), "clip.flv");
    EXPECT_FALSE(Exists(target));
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(HttpDialogTest, DecliningToReplaceEndsAtOnce) {
    test::WriteFile(target, "keep me");
    services.QueueMessageBoxAnswer(kIdNo);
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, server.Url("/file.bin"));
    dialog.promptOverwrite = 1;
    EXPECT_EQ(dialog.exec(), kIdCancel);
    auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "The file '" + target + "' already exists.\nDo you want to replace it?");
    EXPECT_EQ(messages[0].type, kMbYesNo | kMbIconQuestion);
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_EQ(server.Requests(), 0);
}

TEST_F(HttpDialogTest, PasswordPromptSaysWhoAsksRetriesAndCancelStopsQuietly) {
    // A wrong password is refused and asked for again; the right one fetches the file.
    services.QueueCredentialsAnswer(Credentials{"user", "wrong"});
    services.QueueCredentialsAnswer(Credentials{"user", "secret"});
    {
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, server.Url("/secret"));
        EXPECT_EQ(dialog.exec(), kIdOk);
    }
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    auto asked = services.CredentialsRequests();
    ASSERT_EQ(asked.size(), 2u);
    std::string host = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_FALSE(asked[0].proxy);
    EXPECT_EQ(asked[0].host, host);
    EXPECT_EQ(asked[0].realm, "videos");
    EXPECT_EQ(asked[0].userName, "");
    EXPECT_FALSE(asked[0].refused);
    EXPECT_EQ(asked[1].userName, "user");
    EXPECT_TRUE(asked[1].refused);

    // Cancel (no answer queued) ends the download like its own Cancel button: no message, no file.
    std::string other = folder.File("other.flv");
    {
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, server.Url("/secret"));
        dialog.filePath = other;
        EXPECT_EQ(dialog.exec(), kIdCancel);
    }
    EXPECT_EQ(services.CredentialsRequests().size(), 3u);
    EXPECT_FALSE(Exists(other));
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(HttpDialogTest, ProxyPasswordPromptNamesTheProxy) {
    test::PasswordProxy proxy;
    services.QueueCredentialsAnswer(Credentials{"agent", "pass"});
    CHttpDownloadDlg dialog(services);
    Prepare(dialog, "http://videos.example.invalid/clip.flv");
    dialog.accessType = 2;
    dialog.proxyServer = "127.0.0.1:" + std::to_string(proxy.Port());
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_EQ(ReadFile(target), SampleBody(1000));
    auto asked = services.CredentialsRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].proxy);
    EXPECT_EQ(asked[0].host, dialog.proxyServer);
    EXPECT_EQ(asked[0].realm, "corporate");
}

// The real prompt, on the GUI thread while the worker waits: filled in and answered as a user would.
TEST_F(HttpDialogTest, ThePasswordPromptIsShownOnTheWindowThreadAndItsRetryFetchesTheFile) {
    QtWindowServices real;
    real.SetUnattended(false);
    CHttpDownloadDlg dialog(real);
    Prepare(dialog, server.Url("/secret"));
    int prompts = 0;
    QString question;
    bool onGuiThread = false;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* prompt = qobject_cast<CredentialsDialog*>(QApplication::activeModalWidget());
        if (!prompt) return;
        ++prompts;
        onGuiThread = prompt->thread() == QApplication::instance()->thread();
        question = prompt->findChild<QLabel*>("question")->text();
        auto* retry = prompt->findChild<QPushButton*>("retry");
        EXPECT_FALSE(retry->isEnabled());  // nothing to send without a user name
        prompt->findChild<QLineEdit*>("userName")->setText("user");
        prompt->findChild<QLineEdit*>("password")->setText("secret");
        retry->click();
    });
    user.start(20);
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(onGuiThread);
    EXPECT_EQ(question.toStdString(), "The server 127.0.0.1:" + std::to_string(server.Port()) +
                                          " asks for a user name and password for \"videos\".");
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
}

TEST_F(HttpDialogTest, ClientCertificateChosenWhenTheServerAsksForOne) {
    test::CertificateDemandingServer site;
    if (!site.Ready()) GTEST_SKIP() << "no openssl tool to make certificates";
    auto download = [&](const std::string& name) {
        CHttpDownloadDlg dialog(services);
        Prepare(dialog, site.Url("/file.bin"));
        dialog.caBundle = site.ServerCertificate();
        dialog.filePath = folder.File(name);
        return dialog.exec();
    };
    // A PEM file with certificate and key, then a PKCS#12 bundle with its pass phrase.
    services.QueueClientCertificateAnswer(ClientCertificateChoice{site.ClientPem(), ""});
    EXPECT_EQ(download("pem.flv"), kIdOk);
    EXPECT_EQ(ReadFile(folder.File("pem.flv")), SampleBody(1000));
    services.QueueClientCertificateAnswer(
        ClientCertificateChoice{site.ClientBundle(), test::CertificateDemandingServer::kBundlePassPhrase});
    EXPECT_EQ(download("bundle.flv"), kIdOk);
    EXPECT_EQ(ReadFile(folder.File("bundle.flv")), SampleBody(1000));
    auto asked = services.ClientCertificateRequests();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].host, "127.0.0.1:" + site.Url("").substr(site.Url("").rfind(':') + 1));
    EXPECT_TRUE(services.Messages().empty());

    // Cancel leaves the demand unanswered: the failure says a certificate was asked for.
    EXPECT_EQ(download("cancelled.flv"), kIdCancel);
    EXPECT_FALSE(Exists(folder.File("cancelled.flv")));
    auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_THAT(messages[0].text, HasSubstr("The server asks for a client certificate"));
}

// True when the label shows its whole text on one line.
bool Fits(QLabel* label) {
    return label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width();
}

TEST(DownloadProgressView, TheWidestTextsOfARealTransferFitTheirControls) {
    QDialog dialog;
    DownloadProgressView view;
    view.Create(&dialog);
    constexpr uint64_t kMB = 1048576;
    struct TimeLeft {
        uint32_t seconds;
        uint64_t copied, total;
    };
    // The reported case, a huge file at its start (a day and more to go), a nearly finished one.
    for (TimeLeft t : {TimeLeft{754, 344064, 29999759}, TimeLeft{99999 * 60 + 59, 1048575, 10000 * kMB - 1},
                       TimeLeft{3599, 9999 * kMB, 10000 * kMB - 1}, TimeLeft{59, 1023, 1023}}) {
        view.ShowTimeLeft(t.seconds, t.copied, t.total);
        EXPECT_TRUE(Fits(view.timeLeftText)) << view.timeLeftText->text().toStdString();
    }
    // Bytes per millisecond: a modem, a slow line, a loopback copy.
    for (double rate : {0.999, 9.999, 999999.0}) {
        view.ShowTransferRate(rate);
        EXPECT_TRUE(Fits(view.rateText)) << view.rateText->text().toStdString();
    }
    // Addresses and names of any length end in an ellipsis instead of being cut; the whole text is a tip.
    std::string longName = "a-very-long-video-name-" + std::string(80, 'x') + ".flv";
    view.SetSource(longName + " from videos.example.org");
    view.SetStatus("Redirecting to http://videos.example.org/" + std::string(120, 'y'));
    for (QLabel* label : {view.sourceText, view.statusText}) {
        EXPECT_TRUE(Fits(label)) << label->text().toStdString();
        EXPECT_TRUE(label->text().contains(QChar(0x2026)));
    }
    EXPECT_TRUE(view.sourceText->toolTip().startsWith(QString::fromStdString(longName)));
    for (QWidget* control : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(dialog.rect().contains(control->geometry())) << control->objectName().toStdString();
    // The template's own captions ("Estimated time left:") too.
    for (QLabel* label : dialog.findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(Fits(label)) << label->text().toStdString();
}

class YouTubeDialogTest : public ::testing::Test {
protected:
    TempFolder folder;
    RecordingWindowServices services;
    std::string target = folder.File("clip.flv");

    void Prepare(CYouTubeDownloadDlg& dialog, const ScriptedTcpServer& server, int64_t size) {
        dialog.url = "http://127.0.0.1/videoplayback/clip.flv";
        dialog.port = static_cast<uint16_t>(server.Port());
        dialog.requestText = "GET /videoplayback/clip.flv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        dialog.filePath = target;
        dialog.expectedSize = size;
        dialog.promptOverwrite = 0;
        QTimer::singleShot(20000, &dialog, [&dialog] { dialog.reject(); });
    }
};

TEST_F(YouTubeDialogTest, ReplayedRequestSavesTheBody) {
    const std::string body = SampleBody(150000);
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\n" + body, 0}}, false);
    CYouTubeDownloadDlg dialog(services);
    Prepare(dialog, server, static_cast<int64_t>(body.size()));
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_EQ(ReadFile(target), body);
    EXPECT_EQ(dialog.windowTitle(), "100% of clip.flv Completed");
    EXPECT_EQ(Label(&dialog, kSourceTextId), "clip.flv from 127.0.0.1");
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(YouTubeDialogTest, RefusedRequestIsShownAndEndsWithCancel) {
    ScriptedTcpServer server({{"HTTP/1.1 404 Not Found\r\n\r\nno video here", 0}}, false);
    CYouTubeDownloadDlg dialog(services);
    Prepare(dialog, server, 100000);
    EXPECT_EQ(dialog.exec(), kIdCancel);
    auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_THAT(messages[0].text, HasSubstr("404 Not Found"));
    EXPECT_FALSE(Exists(target));
}

TEST_F(YouTubeDialogTest, CancelWorksWhileTheServerIsSilent) {
    ScriptedTcpServer server({}, true);
    CYouTubeDownloadDlg dialog(services);
    Prepare(dialog, server, 100000);
    CancelObservation seen;
    PressCancelLater(&dialog, seen);
    EXPECT_EQ(dialog.exec(), kIdCancel);
    EXPECT_FALSE(seen.enabledAfter);
    EXPECT_EQ(seen.statusAfter, "Aborting transfer");
    EXPECT_TRUE(services.Messages().empty());
}

class StreamDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { site = new test::StreamTestSite(); }
    static void TearDownTestSuite() {
        delete site;
        site = nullptr;
    }
    void SetUp() override { ASSERT_EQ(site->Problem(), ""); }

    void Prepare(StreamDownloadDlg& dialog, const std::string& path) {
        dialog.url = site->Url(path);
        dialog.filePath = target;
        QTimer::singleShot(20000, &dialog, [&dialog] { dialog.reject(); });  // never hang the suite
    }

    static test::StreamTestSite* site;
    TempFolder folder;
    RecordingWindowServices services;
    std::string target = folder.File("stream.mp4");
};
test::StreamTestSite* StreamDialogTest::site = nullptr;

TEST_F(StreamDialogTest, ACopiedStreamEndsWithOkAndAFileOfItsDuration) {
    StreamDownloadDlg dialog(services);
    Prepare(dialog, "/hls/master.m3u8");
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_NEAR(test::ProbeDuration(target), test::StreamTestSite::kDurationSeconds, 0.3);
    EXPECT_EQ(dialog.windowTitle(), "100% of master.m3u8 Completed");
    EXPECT_EQ(Label(&dialog, kSourceTextId), "master.m3u8 from 127.0.0.1");
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(StreamDialogTest, AStaticDashManifestOfNumberedSegmentsEndsWithOkAndAWholeCopy) {
    // ffmpeg asks such a manifest for one segment past its end; the copy is whole all the same.
    StreamDownloadDlg dialog(services);
    Prepare(dialog, "/dashtpl/manifest.mpd");
    EXPECT_EQ(dialog.exec(), kIdOk);
    EXPECT_NEAR(test::ProbeDuration(target), test::StreamTestSite::kDurationSeconds, 0.3);
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(StreamDialogTest, CancelStopsFfmpegAndRemovesThePartialCopy) {
    StreamDownloadDlg dialog(services);
    Prepare(dialog, "/stall/index.m3u8");
    CancelObservation seen;
    PressCancelLater(&dialog, seen, 1500);
    EXPECT_EQ(dialog.exec(), kIdCancel);
    EXPECT_TRUE(seen.pressed);
    EXPECT_EQ(seen.statusAfter, "Aborting transfer");
    EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(StreamDialogTest, AMissingFfmpegIsSaidPlainly) {
    StreamDownloadDlg dialog(services);
    Prepare(dialog, "/dash/manifest.mpd");
    dialog.ffmpegPath = "/nonexistent/ffmpeg";
    EXPECT_EQ(dialog.exec(), kIdCancel);
    const auto messages = services.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_THAT(messages[0].text, HasSubstr("Saving a stream needs ffmpeg, which was not found (/nonexistent/ffmpeg)"));
    EXPECT_FALSE(Exists(target));
}

TEST(StreamDialogEstimate, PercentFollowsTheDurationCopied) {
    StreamDownloader::Progress progress;
    progress.bytesWritten = 250000;
    EXPECT_FALSE(StreamDownloadDlg::EstimateOf(progress).known);  // a live stream: no end to measure against
    progress.durationUs = 8000000;
    progress.copiedUs = 2000000;
    const auto estimate = StreamDownloadDlg::EstimateOf(progress);
    EXPECT_TRUE(estimate.known);
    EXPECT_EQ(estimate.bytes, 250000u);
    EXPECT_EQ(estimate.total, 1000000u);
    progress.copiedUs = 9000000;  // past the announced end: all of it
    EXPECT_EQ(StreamDownloadDlg::EstimateOf(progress).total, 250000u);
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
    // Test discovery runs this program without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

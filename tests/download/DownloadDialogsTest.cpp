// Both download dialogs on the offscreen platform, against loopback servers.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "TempPath.h"
#include "UntrustedHttpsServer.h"
#include "download/CHttpDownloadDlg.h"
#include "download/CYouTubeDownloadDlg.h"
#include "download/DownloadProgressView.h"
#include "platform/DialogManager.h"
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

QString Label(QWidget* dialog, int id) { return DialogManager::Bind<QLabel>(dialog, id)->text(); }

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
    ScriptedTcpServer stalled(
        {{"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(2000, 'v'), 0}}, true);
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

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
    // Test discovery runs this program without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// End to end on the loopback adapter: a real server on 127.0.0.2, a real client, real capture, the
// window's list, and the window's own download of the listed video.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "capture/CaptureSession.h"
#include "config/AppSettings.h"
#include "platform/QtWindowServices.h"
#include "platform/ReportListView.h"
#include "sniffer/QuillmarkSnifferWindow.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

class ScriptedServices : public QtWindowServices {
public:
    std::string savePath;
    std::string AskSaveFileName(WindowHandle, const SaveFileRequest&) override { return savePath; }
    int MessageBox(WindowHandle, const std::string&, const std::string&, unsigned) override { return kIdOk; }
};

// Serves one video on 127.0.0.2 from a thread of its own.
class VideoServer {
public:
    explicit VideoServer(std::string body) : body_(std::move(body)) {
        server_.Get("/clip.mp4", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(body_, "video/mp4");
        });
        port_ = server_.bind_to_any_port("127.0.0.2");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~VideoServer() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }

private:
    std::string body_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

std::string RandomBytes(size_t count) {
    std::mt19937 random(42);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

TEST(SnifferWindowLive, FetchedVideoIsListedAndTheWindowDownloadsItOnce) {
    testing::TempDir dir;
    Settings().tempFolder = dir.path().string();
    Settings().configFilePath = dir / "none.ini";
    ScriptedServices services;
    services.savePath = dir / "saved.mp4";
    std::string startError;
    QuillmarkSnifferWindow window(services, [&startError] {
        CaptureStart start;
        start.sessions.push_back(std::make_unique<CaptureSession>("lo"));
        if (!start.sessions[0]->CaptureStarted()) startError = start.sessions[0]->StartError();
        return start;
    });
    if (!startError.empty()) GTEST_SKIP() << "capture on lo is not permitted here: " << startError;

    const std::string body = RandomBytes(150000);
    VideoServer server(body);
    httplib::Client client("127.0.0.2", server.port());
    auto fetched = client.Get("/clip.mp4?run=1");
    ASSERT_TRUE(fetched);
    ASSERT_EQ(fetched->body.size(), body.size());

    // Other tests may fetch videos over lo meanwhile: only this test's own entry is looked at.
    ReportListView* list = window.ListView();
    SniffedVideoList* videos = window.List();
    std::string url = "http://127.0.0.2:" + std::to_string(server.port()) + "/clip.mp4?run=1";
    ASSERT_TRUE(WaitFor([&] { return videos->FindByUrl(url) >= 0; }, 2000)) << "the fetch was not listed";
    int slot = videos->FindByUrl(url);
    int row = videos->Count() - 1 - slot;  // newest first
    EXPECT_EQ(list->topLevelItem(row)->text(1), "mp4");
    EXPECT_EQ(list->topLevelItem(row)->text(2), "0.14 MB");
    EXPECT_TRUE(list->topLevelItem(row)->text(0).contains(QRegularExpression("^\\d+\\. \\d\\d:\\d\\d:\\d\\d [AP]M$")));

    list->SelectRow(row);
    const int slotAtDownload = slot;
    window.OnDownload();  // runs the real "File Download" dialog to its end
    EXPECT_EQ(testing::ReadFile(services.savePath), body);
    slot = videos->FindByUrl(url);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(videos->Slot(slot).rowImage, 2);
    EXPECT_EQ(list->RowImage(videos->Count() - 1 - slot), 2);
    EXPECT_TRUE(std::filesystem::exists(dir / ("Sniffer_" + std::to_string(slotAtDownload) + "_150000.txt")));

    // Our own fetch has been captured too, and must not come back as an entry.
    WaitFor([] { return false; }, 700);
    int ours = 0;
    for (int i = 0; i < videos->Count(); ++i)
        if (videos->Slot(i).url.find(":" + std::to_string(server.port()) + "/") != std::string::npos) ++ours;
    EXPECT_EQ(ours, 1);
}

TEST(SnifferWindowLive, PreviewStartsThePlayerWithTheUrlAsItsOnlyArgument) {
    testing::TempDir dir;
    std::string record = dir / "arguments.txt";
    std::string player = dir.Write("player.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                                    record + "'\n");
    std::filesystem::permissions(player, std::filesystem::perms::owner_all);
    Settings().playerPath = player;
    ScriptedServices services;
    QuillmarkSnifferWindow window(services, [] { return CaptureStart{}; });
    DetectedVideo video{"http://host/clip.mp4?a=1&b=$(touch /tmp/x)", "", "200000\r\n", "mp4\r\n", "t", 0};
    window.HandleDetection(video);
    QApplication::processEvents();
    window.OnPreview();
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(record) && std::filesystem::file_size(record) > 0; }, 5000));
    EXPECT_EQ(testing::ReadFile(record), "http://host/clip.mp4?a=1&b=$(touch /tmp/x)\n");
}

}  // namespace
}  // namespace tarnwick

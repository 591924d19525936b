// SPDX-License-Identifier: GPL-3.0-or-later
// End to end on the loopback adapter: a real server on 127.0.0.2, a real client, real capture, the
// window's list, and the window's own download of the listed video.
#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "capture/session/CaptureSession.h"
#include "capture/source/LiveAdapterSource.h"
#include "config/AppSettings.h"
#include "config/CommandLine.h"
#include "platform/QtWindowServices.h"
#include "platform/ReportListView.h"
#include "sniffer/CaptureSessionList.h"
#include "sniffer/QuillmarkSnifferWindow.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PublicCopy.h"
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
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
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

// The capabilities of the capture helpers this process started, as /proc tells them.
std::vector<std::string> HelperCapabilities() {
    std::vector<std::string> found;
    DIR* processes = opendir("/proc");
    while (dirent* entry = processes ? readdir(processes) : nullptr) {
        const std::string status = testing::ReadFile(std::string("/proc/") + entry->d_name + "/status");
        if (status.find("Name:\ttarnwick-captur") == std::string::npos ||
            status.find("PPid:\t" + std::to_string(getpid()) + "\n") == std::string::npos)
            continue;
        std::istringstream lines(status);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0) found.push_back(line);
    }
    if (processes) closedir(processes);
    return found;
}

// The window's own capture start-up, run by the parent test below as nobody: this process may not
// capture, so the capture helper beside it captures for it.
TEST(SnifferWindowLive, DISABLED_UnprivilegedWindowCapturesThroughTheHelper) {
    ASSERT_NE(geteuid(), 0u);
    std::string error;
    bool denied = false;
    ASSERT_FALSE(LiveAdapterSource::Open("lo", 1, &error, &denied));
    ASSERT_TRUE(denied) << error;

    testing::TempDir dir;
    Settings().tempFolder = dir.path().string();
    Settings().configFilePath = dir / "none.ini";
    ScriptedServices services;
    CommandLine options;
    options.interfaces = {"lo"};
    std::string problem;
    QuillmarkSnifferWindow window(services, [&] {
        CaptureStart start = StartCapture(options);
        problem = start.problem;
        return start;
    });
    ASSERT_TRUE(problem.empty()) << problem;
    // The helper holds no capability once the adapter is open.
    EXPECT_EQ(HelperCapabilities(),
              (std::vector<std::string>{"CapPrm:\t0000000000000000", "CapEff:\t0000000000000000"}));

    VideoServer server(RandomBytes(150000));
    httplib::Client client("127.0.0.2", server.port());
    ReportListView* list = window.ListView();
    // Other tests fetch videos over lo at the same time: only the entry for this server counts.
    const std::string ours = "http://127.0.0.2:" + std::to_string(server.port()) + "/clip.mp4?unprivileged=";
    const auto ownRow = [&] {
        for (int i = 0; i < window.List()->Count(); ++i)
            if (window.List()->Slot(i).url.rfind(ours, 0) == 0) return window.List()->Count() - 1 - i;
        return -1;
    };
    for (int attempt = 1; attempt <= 3 && ownRow() < 0; ++attempt) {
        auto fetched = client.Get("/clip.mp4?unprivileged=" + std::to_string(attempt));
        ASSERT_TRUE(fetched);
        WaitFor([&] { return ownRow() >= 0; }, 2000);
    }
    const int row = ownRow();
    ASSERT_GE(row, 0) << "the fetch was not listed";
    EXPECT_EQ(list->topLevelItem(row)->text(1), "mp4");
}

TEST(SnifferWindowLive, UnprivilegedWindowListsAVideoFetchedOnLoopback) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to grant the helper its capabilities and to run as nobody";
    // This test program and the helper, in a folder nobody can reach, the helper with its capabilities.
    testing::PublicCopy copy(std::filesystem::read_symlink("/proc/self/exe").string());
    const std::string helper = copy.Path().empty() ? "" : copy.Add(TARNWICK_CAPTURE_HELPER);
    ASSERT_FALSE(helper.empty()) << copy.Error();
    std::string error;
    if (!testing::GrantCaptureCapabilities(helper, &error)) GTEST_SKIP() << error;

    testing::ChildProcess child(
        {copy.Path(), "--gtest_also_run_disabled_tests",
         "--gtest_filter=SnifferWindowLive.DISABLED_UnprivilegedWindowCapturesThroughTheHelper"},
        testing::kNobody);
    ASSERT_TRUE(child.Started());
    const int status = child.Finish();
    if (status == testing::ChildProcess::kCannotDropUser) GTEST_SKIP() << child.Stderr();
    EXPECT_EQ(status, 0) << child.Stdout() << child.Stderr();
    EXPECT_NE(child.Stdout().find("[  PASSED  ] 1 test."), std::string::npos) << child.Stdout() << child.Stderr();
}

TEST(SnifferWindowLive, PreviewStartsThePlayerWithTheUrlAsItsOnlyArgument) {
    testing::TempDir dir;
    std::string record = dir / "arguments.txt";
    std::string player =
        dir.Write("player.sh", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record + "'\n");
    std::filesystem::permissions(player, std::filesystem::perms::owner_all);
    Settings().playerPath = player;
    ScriptedServices services;
    QuillmarkSnifferWindow window(services, [] { return CaptureStart{}; });
    DetectedVideo video{"http://host/clip.mp4?a=1&b=$(touch /tmp/x)", "", "200000\r\n", "mp4\r\n", "t", 0};
    window.HandleDetection(video);
    QApplication::processEvents();
    window.OnPreview();
    ASSERT_TRUE(
        WaitFor([&] { return std::filesystem::exists(record) && std::filesystem::file_size(record) > 0; }, 5000));
    EXPECT_EQ(testing::ReadFile(record), "http://host/clip.mp4?a=1&b=$(touch /tmp/x)\n");
}

}  // namespace
}  // namespace tarnwick

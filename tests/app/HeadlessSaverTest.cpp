// Headless saving: safe unique names, and a live loopback run that saves the served bytes once.
#include "app/HeadlessSaver.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "capture/CaptureSession.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessSaver, NamesComeFromTheLastPathSegmentMadeSafe) {
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host/v/clip.flv?x=/a/b", "flv"), "clip.flv");
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host/v/..hidden.mp4", "mp4"), "hidden.mp4");
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host/v/a\\b\x01.mp4", "mp4"), "a_b_.mp4");
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host/", "x-flv"), "video.x_flv");
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host", "mp4"), "video.mp4");
    EXPECT_EQ(HeadlessSaver::FileNameFor("http://host/..", "mp4"), "video.mp4");
    std::string longName = HeadlessSaver::FileNameFor("http://host/" + std::string(500, 'a') + ".mp4", "mp4");
    EXPECT_EQ(longName.size(), 120u);
    EXPECT_EQ(longName.substr(116), ".mp4");
}

TEST(HeadlessSaver, TakenNamesGetANumber) {
    testing::TempDir dir;
    std::string folder = dir.path().string();
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder, "clip.mp4"), folder + "/clip.mp4");
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder, "clip.mp4"), folder + "/clip (2).mp4");
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder, "clip.mp4"), folder + "/clip (3).mp4");
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder, "noext"), folder + "/noext");
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder, "noext"), folder + "/noext (2)");
    EXPECT_EQ(HeadlessSaver::ReserveUniquePath(folder + "/missing", "clip.mp4"), "");
}

TEST(HeadlessSaver, ReplayedVideosWhoseServerIsGoneAreReportedAsFailed) {
    testing::TempDir dir;
    testing::ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--read",
                                    std::string(TARNWICK_TEST_DATA) + "/videos-keepalive.pcap", "--save-dir",
                                    dir.path().string()});
    ASSERT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    std::istringstream lines(tarnwick.Stdout());
    int videos = 0, failed = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"url\":") != std::string::npos) ++videos;
        if (line.rfind("{\"failed\":", 0) == 0) ++failed;
        EXPECT_EQ(line.find("\"saved\""), std::string::npos) << line;
    }
    EXPECT_EQ(videos, 3);
    EXPECT_EQ(failed, 3);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // nothing half-written is left
}

TEST(HeadlessSaver, LiveVideoIsSavedWithTheServedBytesAndPrintedOnce) {
    {
        CaptureSession probe("lo");
        if (!probe.CaptureStarted()) GTEST_SKIP() << "live capture not permitted here: " << probe.StartError();
    }
    std::string body(180000, '\0');
    std::mt19937 random(7);
    for (char& c : body) c = static_cast<char>(random());
    httplib::Server server;
    server.Get("/clip.mp4", [&](const httplib::Request&, httplib::Response& r) { r.set_content(body, "video/mp4"); });
    int port = server.bind_to_any_port("127.0.0.2");
    std::thread serving([&] { server.listen_after_bind(); });
    struct Stopper {
        httplib::Server& server;
        std::thread& thread;
        ~Stopper() {
            server.stop();
            thread.join();
        }
    } stopper{server, serving};

    testing::TempDir dir;
    testing::ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--save-dir",
                                    dir.path().string()});
    auto until = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on lo") == std::string::npos && std::chrono::steady_clock::now() < until &&
           !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on lo"), std::string::npos) << tarnwick.Stderr();

    httplib::Client client("127.0.0.2", port);
    auto fetched = client.Get("/clip.mp4?k=1");
    ASSERT_TRUE(fetched);
    until = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stdout().find("\"saved\"") == std::string::npos &&
           tarnwick.Stdout().find("\"failed\"") == std::string::npos && std::chrono::steady_clock::now() < until)
        tarnwick.Pump(100ms);
    // Give our own fetch time to be captured: it must not be listed again.
    for (int i = 0; i < 10; ++i) tarnwick.Pump(100ms);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();

    const std::string& out = tarnwick.Stdout();
    std::string url = "http://127.0.0.2:" + std::to_string(port) + "/clip.mp4?k=1";
    size_t first = out.find(url);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(url, first + 1), std::string::npos) << out;
    EXPECT_NE(out.find("{\"saved\":\"" + dir.path().string() + "/clip.mp4\",\"serial\":"), std::string::npos) << out;
    const std::string saved = testing::ReadFile(dir / "clip.mp4");
    EXPECT_TRUE(saved == body) << "saved " << saved.size() << " bytes";
}

}  // namespace
}  // namespace tarnwick

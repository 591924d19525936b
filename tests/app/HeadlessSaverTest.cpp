// SPDX-License-Identifier: GPL-3.0-or-later
// Headless saving: safe unique names, and a live loopback run that saves the served bytes once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/HeadlessSaver.h"
#include "capture/session/CaptureSession.h"
#include "tests/capture/FrameBuilder.h"
#include "tests/download/HttpTestServer.h"
#include "tests/download/SampleData.h"
#include "tests/download/ScriptedTcpServer.h"
#include "tests/download/StreamTestSite.h"
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

TEST(HeadlessSaver, StopSignalEndsAReplayWhoseSaveStalls) {
    test::ScriptedTcpServer silent({}, true);
    testing::TempDir dir;
    // One video whose Host header names the silent server, as a capture.
    const std::string capture = dir / "stall.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, capture.c_str());
    const testing::Endpoint client{{192, 168, 7, 9}, 40000}, server{{10, 9, 8, 7}, 80};
    const std::string host = "127.0.0.1:" + std::to_string(silent.Port());
    for (const auto& frame :
         {testing::BuildFrame(client, server, "GET /stall.mp4 HTTP/1.1\r\nHost: " + host + "\r\n\r\n"),
          testing::BuildFrame(server, client,
                              "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 300000\r\n\r\n")}) {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);

    std::filesystem::create_directory(dir / "saved");
    testing::ChildProcess tarnwick(
        {TARNWICK_BINARY, "--headless", "--json", "--read", capture, "--save-dir", dir / "saved"});
    for (int i = 0; i < 500 && silent.ReceivedRequest().empty(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(silent.ReceivedRequest().empty()) << tarnwick.Stderr();
    const auto start = std::chrono::steady_clock::now();
    kill(tarnwick.Pid(), SIGTERM);
    while (!tarnwick.Exited() && std::chrono::steady_clock::now() - start < 5s) std::this_thread::sleep_for(5ms);
    // Generous: a stop that works takes milliseconds, the stalled download its whole stall limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
}

// A capture of a player fetching the site's playlists and segments (segment bodies left out: their
// answers' lengths are what counts).
std::string WriteStreamCapture(const testing::TempDir& dir, const test::StreamTestSite& site) {
    httplib::Client client("127.0.0.1", site.Port());
    const std::string host = "127.0.0.1:" + std::to_string(site.Port());
    const testing::Endpoint player{{192, 168, 7, 9}, 40000}, server{{10, 9, 8, 7}, 80};
    testing::Conversation connection(player, server);
    connection.Open();
    auto fetch = [&](const std::string& path, const std::string& type, const std::string& body) {
        connection.Send(true, "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        connection.Send(false, "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " +
                                   std::to_string(body.empty() ? 40000 : body.size()) + "\r\n\r\n" + body);
        // The segments' bodies were not captured.
        if (body.empty()) connection.Lose(false, 40000).Acknowledge(true);
    };
    auto text = [&client](const std::string& path) {
        const auto answer = client.Get(path);
        return answer ? answer->body : std::string();
    };
    fetch("/hls/master.m3u8", "application/vnd.apple.mpegurl", text("/hls/master.m3u8"));
    fetch("/hls/index.m3u8", "application/vnd.apple.mpegurl", text("/hls/index.m3u8"));
    for (int i = 0; i < 4; ++i) fetch("/hls/seg" + std::to_string(i) + ".ts", "video/mp2t", "");
    fetch("/dash/manifest.mpd", "application/dash+xml", text("/dash/manifest.mpd"));
    fetch("/dash/init-stream0.m4s", "video/iso.segment", "");
    for (int i = 1; i <= 4; ++i)
        fetch("/dash/chunk-stream0-0000" + std::to_string(i) + ".m4s", "video/iso.segment", "");
    // Numbered segments of fixed length, no timeline: ffmpeg asks for one past the end.
    fetch("/dashtpl/manifest.mpd", "application/dash+xml", text("/dashtpl/manifest.mpd"));
    fetch("/dashtpl/init-stream0.m4s", "video/iso.segment", "");
    for (int i = 1; i <= 4; ++i)
        fetch("/dashtpl/chunk-stream0-0000" + std::to_string(i) + ".m4s", "video/iso.segment", "");

    const std::string capture = dir / "streams.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, capture.c_str());
    for (const auto& frame : connection.frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1700000000;
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return capture;
}

TEST(HeadlessSaver, ReplayedStreamsAreCopiedWholeByFfmpeg) {
    test::StreamTestSite site;
    ASSERT_EQ(site.Problem(), "");
    testing::TempDir dir;
    const std::string capture = WriteStreamCapture(dir, site);
    std::filesystem::create_directory(dir / "saved");
    testing::ChildProcess tarnwick(
        {TARNWICK_BINARY, "--headless", "--json", "--read", capture, "--save-dir", dir / "saved"});
    ASSERT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    const std::string port = std::to_string(site.Port());
    EXPECT_NE(tarnwick.Stdout().find("{\"serial\":1,\"time\":\"10:13:20 PM\",\"type\":\"hls\",\"size\":160000,"
                                     "\"segments\":4,\"url\":\"http://127.0.0.1:" +
                                     port + "/hls/master.m3u8\""),
              std::string::npos)
        << tarnwick.Stdout();
    EXPECT_NE(tarnwick.Stdout().find("\"type\":\"dash\",\"size\":200000,\"segments\":5,"), std::string::npos)
        << tarnwick.Stdout();
    EXPECT_NE(tarnwick.Stdout().find("{\"saved\":\"" + (dir / "saved/master.mp4") + "\",\"serial\":1}"),
              std::string::npos)
        << tarnwick.Stdout();
    EXPECT_NE(tarnwick.Stdout().find("{\"saved\":\"" + (dir / "saved/manifest.mp4") + "\",\"serial\":2}"),
              std::string::npos)
        << tarnwick.Stdout();
    for (const char* name : {"saved/master.mp4", "saved/manifest.mp4"})
        EXPECT_NEAR(test::ProbeDuration(dir / name), test::StreamTestSite::kDurationSeconds, 0.3) << name;
    // The third stream's copy is saved whole too, under the name left for it.
    const std::string third = "\"serial\":3}";
    const size_t saved = tarnwick.Stdout().find(third);
    ASSERT_NE(saved, std::string::npos) << tarnwick.Stdout();
    const size_t lineStart = tarnwick.Stdout().rfind('\n', saved) + 1;
    const std::string line = tarnwick.Stdout().substr(lineStart, saved - lineStart);
    ASSERT_EQ(line.rfind("{\"saved\":\"", 0), 0u) << line;
    const std::string path = line.substr(10, line.size() - 12);
    EXPECT_NEAR(test::ProbeDuration(path), test::StreamTestSite::kDurationSeconds, 0.3) << path;
}

TEST(HeadlessSaver, AStreamThatGoesOnDoesNotHoldUpTheFilesBehindIt) {
    test::StreamTestSite site;
    ASSERT_EQ(site.Problem(), "");
    test::HttpTestServer files;
    testing::TempDir dir;
    std::mutex linesLock;
    std::vector<std::string> lines;
    HeadlessSaver saver(
        dir.path().string(), [](const std::string&) {},
        [&](const std::string& line) {
            std::lock_guard lock(linesLock);
            lines.push_back(line);
        });
    saver.SetStreamOptions("ffmpeg", 0);
    SniffedVideo stream;
    stream.serial = 1;
    stream.isStream = true;
    stream.type = "hls";
    stream.url = site.Url("/stall/index.m3u8");  // its second segment never comes
    saver.Enqueue(stream);
    for (int i = 0; i < 200 && site.Segments() == 0; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_GT(site.Segments(), 0);

    SniffedVideo file;
    file.serial = 2;
    file.type = "flv";
    file.size = test::HttpTestServer::kFileSize;
    file.url = files.Url("/file.bin");
    saver.Enqueue(file);
    const std::string savedLine = "{\"saved\":\"" + (dir / "file.bin") + "\",\"serial\":2}";
    bool saved = false;
    for (int i = 0; i < 200 && !saved; ++i) {
        std::this_thread::sleep_for(50ms);
        std::lock_guard lock(linesLock);
        saved = std::find(lines.begin(), lines.end(), savedLine) != lines.end();
    }
    EXPECT_TRUE(saved);
    EXPECT_TRUE(testing::ReadFile(dir / "file.bin") == test::SampleBody(test::HttpTestServer::kFileSize));
    EXPECT_FALSE(saver.Idle());  // the stream is still being copied
    saver.Stop();
}

TEST(HeadlessSaver, ReplayedVideosAreFetchedWithTheBrowsersCookieAndReferrerWhichAreNeverPrinted) {
    test::HttpTestServer server;
    testing::TempDir dir;
    const std::string capture = dir / "guarded.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, capture.c_str());
    const testing::Endpoint client{{192, 168, 7, 9}, 40000}, origin{{10, 9, 8, 7}, 80};
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    for (const auto& frame :
         {testing::BuildFrame(client, origin,
                              "GET /guarded HTTP/1.1\r\nHost: " + host +
                                  "\r\nCookie: " + test::HttpTestServer::kCookie +
                                  "\r\nReferer: " + test::HttpTestServer::kReferer + "\r\n\r\n"),
          testing::BuildFrame(origin, client,
                              "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n")}) {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);

    std::filesystem::create_directory(dir / "saved");
    testing::ChildProcess tarnwick(
        {TARNWICK_BINARY, "--headless", "--json", "--read", capture, "--save-dir", dir / "saved"});
    ASSERT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    EXPECT_NE(tarnwick.Stdout().find("{\"saved\":\"" + (dir / "saved/guarded") + "\",\"serial\":1}"), std::string::npos)
        << tarnwick.Stdout() << tarnwick.Stderr();
    EXPECT_TRUE(testing::ReadFile(dir / "saved/guarded") == test::SampleBody(test::HttpTestServer::kFileSize));
    EXPECT_EQ(tarnwick.Stdout().find("s3cret"), std::string::npos);
    EXPECT_EQ(tarnwick.Stderr().find("s3cret"), std::string::npos);
}

TEST(HeadlessSaver, ReplayedVideosWhoseServerIsGoneAreReportedAsFailed) {
    // The capture's server was 127.0.0.2:8081. Holding that address bound without listening makes
    // sure that nothing else on this machine answers in its place.
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(8081);
    address.sin_addr.s_addr = htonl(0x7f000002);
    if (bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(holder);
        GTEST_SKIP() << "127.0.0.2:8081, the capture's server, is taken by another program here";
    }
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
    close(holder);
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
    testing::ChildProcess tarnwick(
        {TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--save-dir", dir.path().string()});
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

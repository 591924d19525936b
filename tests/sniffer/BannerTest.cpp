// SPDX-License-Identifier: GPL-3.0-or-later
// The banner: a complete fetch replaces image.gif, a failed one keeps it, and nothing holds the window.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "capture/session/OwnConnections.h"
#include "config/AppSettings.h"
#include "controls/PictureControl.h"
#include "platform/QtWindowServices.h"
#include "sniffer/BannerFiles.h"
#include "sniffer/QuillmarkSnifferWindow.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

std::string ShippedBanner() {
    QFile file(":/art/banner.gif");
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll().toStdString();
}

// A still picture of its own size, unlike the shipped (animated) banner.
std::string StillPicture() {
    QImage image(50, 20, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

class BannerServer {
public:
    BannerServer() {
        server_.Get("/banner.gif", [this](const httplib::Request& request, httplib::Response& r) {
            lastClientPort_ = request.remote_port;
            lastRequestMs_ = OwnConnections::NowMs();
            r.set_content(ShippedBanner(), "image/gif");
        });
        server_.Get("/missing.gif", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
        // A slow line: the picture comes in eight pieces, 400 ms apart.
        server_.Get("/slow.png", [](const httplib::Request&, httplib::Response& r) {
            auto picture = std::make_shared<std::string>(StillPicture());
            r.set_chunked_content_provider("image/png", [picture](size_t offset, httplib::DataSink& sink) {
                if (offset >= picture->size()) {
                    sink.done();
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                size_t piece = std::min(picture->size() - offset, picture->size() / 8 + 1);
                return sink.write(picture->data() + offset, piece);
            });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ~BannerServer() {
        server_.stop();
        thread_.join();
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int Port() const { return port_; }
    // The client's port of the last request of /banner.gif, and when it came.
    int LastClientPort() const { return lastClientPort_; }
    int64_t LastRequestMs() const { return lastRequestMs_; }

private:
    httplib::Server server_;
    int port_ = 0;
    std::atomic<int> lastClientPort_{0};
    std::atomic<int64_t> lastRequestMs_{0};
    std::thread thread_;
};

// A port that accepts connections and never answers: a site that has gone silent.
class SilentPort {
public:
    SilentPort() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(socket_, 4);
        socklen_t length = sizeof address;
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~SilentPort() { ::close(socket_); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/banner.gif"; }

private:
    int socket_ = -1;
    int port_ = 0;
};

TEST(Banner, CompleteFetchReplacesTheBannerAndFailuresKeepIt) {
    testing::TempDir dir;
    BannerServer server;
    std::string folder = dir.path().string();
    dir.Write("image.gif", "previous");

    EXPECT_FALSE(FetchBanner(server.Url("/missing.gif"), folder, {}));
    EXPECT_EQ(testing::ReadFile(BannerFile(folder)), "previous");
    EXPECT_FALSE(std::filesystem::exists(FreshBannerFile(folder)));

    EXPECT_FALSE(FetchBanner("http://127.0.0.1:1/banner.gif", folder, {}));  // nobody listens
    EXPECT_EQ(testing::ReadFile(BannerFile(folder)), "previous");
    EXPECT_FALSE(std::filesystem::exists(FreshBannerFile(folder)));

    EXPECT_TRUE(FetchBanner(server.Url("/banner.gif"), folder, {}));
    EXPECT_EQ(testing::ReadFile(BannerFile(folder)), ShippedBanner());
    EXPECT_FALSE(std::filesystem::exists(FreshBannerFile(folder)));
}

TEST(Banner, TheFetchIsOneOfOurOwnConnections) {
    testing::TempDir dir;
    BannerServer server;
    ASSERT_TRUE(FetchBanner(server.Url("/banner.gif"), dir.path().string(), {}));
    EXPECT_TRUE(OwnConnections::Process().Owns(static_cast<uint16_t>(server.LastClientPort()),
                                               static_cast<uint16_t>(server.Port()), server.LastRequestMs()));
}

TEST(Banner, ASlowButSteadyBannerIsStoredWholeAndASilentSiteIsLeftSoon) {
    testing::TempDir dir;
    BannerServer server;
    SilentPort silent;
    std::string folder = dir.path().string();
    BannerFetchLimits limits{1000, 1000};
    // Longer in all than both limits together, but never a second without bytes.
    EXPECT_TRUE(FetchBanner(server.Url("/slow.png"), folder, limits));
    EXPECT_EQ(testing::ReadFile(BannerFile(folder)), StillPicture());

    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(FetchBanner(silent.Url(), folder, limits));
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(testing::ReadFile(BannerFile(folder)), StillPicture());
    EXPECT_FALSE(std::filesystem::exists(FreshBannerFile(folder)));
}

TEST(Banner, ReadOnlyProgramFolderMovesTheBannerToTheUserFolder) {
    testing::TempDir dir;
    testing::ScopedEnv appdata("APPDATA", dir.path().c_str());
    AppSettings settings;
    settings.programFolder = dir.path().string();
    EXPECT_EQ(BannerFolder(settings), dir.path().string());
    settings.programFolder = dir / "not-writable";  // missing: cannot be written either
    EXPECT_EQ(BannerFolder(settings), dir / "Tarnwick");
    // An installed program's folder (bin/ beside share/tarnwick/) is never written, even by root.
    dir.Write("usr/share/tarnwick/help/index.html", "help");
    std::filesystem::create_directories(dir / "usr/bin");
    settings.programFolder = dir / "usr/bin";
    EXPECT_EQ(BannerFolder(settings), dir / "Tarnwick");
}

TEST(Banner, WindowOpensQuicklyWhenTheSiteIsSilentAndShowsTheLastBanner) {
    testing::TempDir dir;
    SilentPort silent;
    Settings().programFolder = dir.path().string();
    Settings().configFilePath = dir.Write("Tarnwick.ini", "[Tarnwick]\nBannerUrl=" + silent.Url() + "\n");
    QtWindowServices services;
    QElapsedTimer timer;
    timer.start();
    {
        QuillmarkSnifferWindow window(services, [] { return CaptureStart{}; });
        EXPECT_LT(timer.elapsed(), 1000);
        // No banner was ever fetched: the shipped one plays.
        EXPECT_GT(window.Banner()->FrameCount(), 1);
        EXPECT_TRUE(window.Banner()->IsAnimating());
        EXPECT_EQ(window.Banner()->geometry(), QRect(70, 172, 234, 60));
        timer.restart();
    }
    // Closing the window abandons the fetch at once and leaves no partial file.
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_FALSE(std::filesystem::exists(FreshBannerFile(dir.path().string())));
}

TEST(Banner, WindowOpensAtOnceAndShowsASlowBannerOnceItIsComplete) {
    testing::TempDir dir;
    BannerServer server;
    Settings().programFolder = dir.path().string();
    Settings().configFilePath = dir.Write("Tarnwick.ini", "[Tarnwick]\nBannerUrl=" + server.Url("/slow.png") + "\n");
    QtWindowServices services;
    QElapsedTimer timer;
    timer.start();
    QuillmarkSnifferWindow window(services, [] { return CaptureStart{}; });
    EXPECT_LT(timer.elapsed(), 1000);
    EXPECT_TRUE(window.Banner()->IsAnimating());  // the shipped banner while the fresh one arrives
    while (window.Banner()->PictureSize() != QSize(50, 20) && timer.elapsed() < 15000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(window.Banner()->PictureSize(), QSize(50, 20));
    EXPECT_FALSE(window.Banner()->IsAnimating());
    EXPECT_EQ(window.Banner()->geometry(), QRect(70, 172, 234, 60));
    EXPECT_EQ(testing::ReadFile(BannerFile(dir.path().string())), StillPicture());
}

}  // namespace
}  // namespace tarnwick

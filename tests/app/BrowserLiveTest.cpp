// SPDX-License-Identifier: GPL-3.0-or-later
// --browser as a user runs it: a real Chromium, started by Tarnwick with its key log, fetches a video
// over HTTPS from a server on 127.0.0.2, and Tarnwick lists it; its key log and profile go at the end,
// and the capture written with --write is read again without a key log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "capture/session/CaptureSession.h"
#include "platform/KeyLoggingBrowser.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr size_t kVideoSize = 345678;

bool CanCaptureOnLoopback(std::string* reason) {
    CaptureSession probe("lo");
    if (!probe.CaptureStarted()) *reason = probe.StartError();
    return probe.CaptureStarted();
}

sockaddr_in Address127002(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000002);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port on 127.0.0.2 that nobody listens on now, for a server that cannot say which one it took.
int UnusedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Address127002(0);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

bool Accepts(int port) {
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Address127002(port);
    const bool accepted = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(client);
    return accepted;
}

TEST(BrowserLive, ChromiumStartedByTarnwickHasItsHttpsVideoListed) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    const std::string chromium = "/usr/bin/chromium", nghttpd = "/usr/sbin/nghttpd";
    if (access(chromium.c_str(), X_OK) != 0) GTEST_SKIP() << "no chromium here (package chromium)";
    if (access(nghttpd.c_str(), X_OK) != 0) GTEST_SKIP() << "no HTTPS server here (nghttpd, package nghttp2-server)";

    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem";
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                          "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj", "/CN=127.0.0.2"});
    ASSERT_EQ(openssl.Finish(), 0) << openssl.Stderr();
    dir.Write("htdocs/clip.mp4", std::string(kVideoSize, 'c'));
    const std::string mimeTypes = dir.Write("mime.types", "video/mp4 mp4\n");
    const int port = UnusedPort();
    ASSERT_GT(port, 0);
    ChildProcess server({nghttpd, "--address=127.0.0.2", "--htdocs=" + (dir / "htdocs"),
                         "--mime-types-file=" + mimeTypes, std::to_string(port), key, certificate});
    const auto serverReadyBy = std::chrono::steady_clock::now() + 5s;
    while (!Accepts(port) && std::chrono::steady_clock::now() < serverReadyBy) server.Pump(50ms);
    ASSERT_TRUE(Accepts(port)) << server.Stderr();

    // The browser's key log and profile go into a folder of this test's, to be seen gone at the end.
    std::filesystem::create_directory(dir / "tmp");
    const std::string written = dir / "live.pcapng";
    const std::string address = "https://127.0.0.2:" + std::to_string(port) + "/clip.mp4";
    const std::string browserWords = "--headless=new --no-sandbox --disable-gpu --ignore-certificate-errors " + address;
    ChildProcess tarnwick({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", "TMPDIR=" + (dir / "tmp"),
                           std::string(KeyLoggingBrowser::kTestArgumentsVariable) + "=" + browserWords, TARNWICK_BINARY,
                           "--headless", "--json", "--interface", "lo", "--browser", chromium, "--write", written});
    const std::string expected = "\"size\":" + std::to_string(kVideoSize) + ",\"url\":\"" + address + "\"";
    const auto listedBy = std::chrono::steady_clock::now() + 60s;
    while (tarnwick.Stdout().find(expected) == std::string::npos && std::chrono::steady_clock::now() < listedBy &&
           !tarnwick.Exited())
        tarnwick.Pump(100ms);
    EXPECT_NE(tarnwick.Stdout().find(expected), std::string::npos)
        << "stdout: " << tarnwick.Stdout() << "\nstderr: " << tarnwick.Stderr();
    EXPECT_NE(tarnwick.Stderr().find("started " + chromium), std::string::npos) << tarnwick.Stderr();

    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp")) << "the key log or the profile is left behind";

    // The capture written meanwhile carries the browser's secrets ahead of the packets that need them,
    // although the browser wrote them to its key log only during its handshakes.
    ChildProcess again({TARNWICK_BINARY, "--headless", "--json", "--read", written});
    EXPECT_EQ(again.Finish(), 0) << again.Stderr();
    EXPECT_NE(again.Stdout().find(expected), std::string::npos) << again.Stdout() << again.Stderr();
    if (access("/usr/bin/tshark", X_OK) != 0) return;
    ChildProcess tshark({"/usr/bin/tshark", "-n", "-r", written, "-Y", "http2.headers.path", "-T", "fields", "-e",
                         "http2.headers.path"});
    EXPECT_EQ(tshark.Finish(), 0) << tshark.Stderr();
    EXPECT_NE(tshark.Stdout().find("/clip.mp4"), std::string::npos) << tshark.Stdout();
}

}  // namespace
}  // namespace tarnwick

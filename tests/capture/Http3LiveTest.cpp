// SPDX-License-Identifier: GPL-3.0-or-later
// Live capture between two network namespaces made here: headless Chromium fetches a video from caddy
// over HTTP/3 only (QUIC), with its key log going to the file tarnwick reads.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/NamespacePair.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FindProgram;
using testing::kServerAddress;
using testing::NamespacePair;
using testing::ReadFile;

constexpr int kPort = 8443;
const std::string kHost = "videohost.test";

// The video is listed once, with its https address, although Chromium asks for it more than once
// (a media element reads an MP4 in ranges).
TEST(Http3Live, VideoFetchedOverQuicIsListedOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "not root: making network namespaces needs root";
    const std::string caddy = FindProgram("caddy"), chromium = FindProgram("chromium"),
                      openssl = FindProgram("openssl"), env = FindProgram("env");
    if (caddy.empty() || chromium.empty() || openssl.empty() || env.empty())
        GTEST_SKIP() << "no HTTP/3 server or client here (packages caddy, chromium, openssl)";
    NamespacePair namespaces("h3live");
    std::string why;
    if (!namespaces.Make(&why)) GTEST_SKIP() << why;

    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem", keyLog = dir / "keys.log";
    ChildProcess makeCertificate({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                  "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj", "/CN=" + kHost,
                                  "-addext", "subjectAltName=DNS:" + kHost});
    ASSERT_EQ(makeCertificate.Finish(), 0) << makeCertificate.Stderr();
    // Chromium takes a certificate over QUIC only by its key's hash.
    ChildProcess publicKey({openssl, "x509", "-in", certificate, "-noout", "-pubkey"});
    ASSERT_EQ(publicKey.Finish(), 0);
    const std::string publicKeyFile = dir.Write("public.pem", publicKey.Stdout());
    ChildProcess der({openssl, "pkey", "-pubin", "-in", publicKeyFile, "-outform", "der", "-out", dir / "public.der"});
    ASSERT_EQ(der.Finish(), 0) << der.Stderr();
    ChildProcess hash({openssl, "dgst", "-sha256", "-binary", "-out", dir / "public.sha256", dir / "public.der"});
    ASSERT_EQ(hash.Finish(), 0) << hash.Stderr();
    ChildProcess base64({openssl, "base64", "-A", "-in", dir / "public.sha256"});
    ASSERT_EQ(base64.Finish(), 0);
    const std::string spki = base64.Stdout();

    std::string video(
        "\x00\x00\x00\x18"
        "ftypisom\x00\x00\x02\x00"
        "isomiso2",
        24);
    video.append(600000, 'v');
    dir.Write("htdocs/clip.mp4", video);
    const std::string config =
        dir.Write("Caddyfile", "{\n\tadmin off\n\tauto_https off\n\tservers :" + std::to_string(kPort) +
                                   " {\n\t\tprotocols h1 h2 h3\n\t}\n}\nhttps://" + kHost + ":" +
                                   std::to_string(kPort) + " {\n\ttls " + certificate + " " + key + "\n\troot * " +
                                   (dir / "htdocs") + "\n\tfile_server\n}\n");
    ChildProcess server(namespaces.InServer({env, "HOME=" + (dir / "caddy"), "XDG_DATA_HOME=" + (dir / "caddy"),
                                             "XDG_CONFIG_HOME=" + (dir / "caddy"), caddy, "run", "--config", config,
                                             "--adapter", "caddyfile"}));
    const auto servingBy = std::chrono::steady_clock::now() + 10s;
    while (server.Stderr().find("server running") == std::string::npos &&
           std::chrono::steady_clock::now() < servingBy && !server.Exited())
        server.Pump(100ms);
    ASSERT_NE(server.Stderr().find("server running"), std::string::npos) << server.Stderr();

    ChildProcess tarnwick(namespaces.InClient(
        {TARNWICK_BINARY, "--headless", "--json", "--interface", namespaces.ClientLink(), "--keylog", keyLog}));
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on") == std::string::npos && std::chrono::steady_clock::now() < readyBy &&
           !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on " + namespaces.ClientLink()), std::string::npos)
        << tarnwick.Stderr();

    // The host name is given to the browser (a QUIC server chooses its certificate by the name the client
    // sends), and mapped to the server's address without any hosts file.
    const std::string origin = kHost + ":" + std::to_string(kPort);
    const std::string url = "https://" + origin + "/clip.mp4";
    ChildProcess browser(namespaces.InClient(
        {env, "HOME=" + (dir / "home"), "SSLKEYLOGFILE=" + keyLog, chromium, "--headless", "--no-sandbox",
         "--disable-gpu", "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + (dir / "profile"), "--enable-quic",
         "--origin-to-force-quic-on=" + origin, "--ignore-certificate-errors-spki-list=" + spki,
         "--host-resolver-rules=MAP " + kHost + " " + kServerAddress, "--autoplay-policy=no-user-gesture-required",
         url}));
    const std::string expected = "\"url\":\"" + url + "\"";
    const auto listedBy = std::chrono::steady_clock::now() + 30s;
    while (tarnwick.Stdout().find(expected) == std::string::npos && std::chrono::steady_clock::now() < listedBy) {
        tarnwick.Pump(50ms);
        browser.Pump(10ms);
    }
    // The browser keeps the connection a little longer; what it still fetches must not list it again.
    for (int i = 0; i < 20; ++i) {
        tarnwick.Pump(50ms);
        browser.Pump(10ms);
    }
    kill(browser.Pid(), SIGTERM);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    const std::string& out = tarnwick.Stdout();
    ASSERT_NE(out.find(expected), std::string::npos)
        << "stdout: " << out << "\nstderr: " << tarnwick.Stderr() << "\nbrowser: " << browser.Stderr();
    EXPECT_EQ(out.find(expected), out.rfind(expected)) << out;  // once
    EXPECT_NE(out.find("\"type\":\"mp4\""), std::string::npos) << out;
    EXPECT_NE(ReadFile(keyLog).find("CLIENT_TRAFFIC_SECRET_0"), std::string::npos);
    EXPECT_NE(tarnwick.Stderr().find("; QUIC connections "), std::string::npos) << tarnwick.Stderr();
}

}  // namespace
}  // namespace tarnwick

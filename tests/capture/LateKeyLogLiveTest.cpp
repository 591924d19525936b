// SPDX-License-Identifier: GPL-3.0-or-later
// Live capture between two network namespaces made here: curl fetches a video over HTTPS, and its key log
// reaches tarnwick only after the handshake, as a browser's does when it is read late.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/NamespacePair.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::FindProgram;
using testing::kClientAddress;
using testing::kServerAddress;
using testing::NamespacePair;
using testing::ReadFile;
constexpr int kPort = 8443;
constexpr size_t kVideoSize = 800000;

// Reads the child's output for the whole duration.
void PumpFor(ChildProcess& child, std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < until) child.Pump(20ms);
}

// nghttpd serves the video in clear text inside the server namespace and nghttpx puts TLS in front of it,
// offering HTTP/2 and HTTP/1.1. curl, rate-limited so that the transfer lasts a few seconds, fetches it
// with its key log going to a file tarnwick does not read; once that log holds the handshake's secrets
// and records have queued, it is copied to the one tarnwick reads. The video is listed once, with its
// https address: its records waited for their keys, and the protocol came from the handshake read late.
void ExpectVideoListedWithLateKeyLog(const std::string& curlProtocol) {
    if (geteuid() != 0) GTEST_SKIP() << "not root: making network namespaces needs root";
    const std::string curl = FindProgram("curl"), openssl = FindProgram("openssl");
    const std::string nghttpd = FindProgram("nghttpd"), nghttpx = FindProgram("nghttpx");
    if (curl.empty() || openssl.empty()) GTEST_SKIP() << "no curl or openssl here";
    if (nghttpd.empty() || nghttpx.empty())
        GTEST_SKIP() << "no HTTP/2 server here (nghttpd, nghttpx: packages nghttp2-server, nghttp2-proxy)";
    NamespacePair namespaces("latekeys");
    std::string why;
    if (!namespaces.Make(&why)) GTEST_SKIP() << why;

    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem";
    const std::string clientKeyLog = dir / "client-keys.log", readKeyLog = dir / "read-keys.log";
    ChildProcess makeCertificate({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                  "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj",
                                  "/CN=" + kServerAddress});
    ASSERT_EQ(makeCertificate.Finish(), 0) << makeCertificate.Stderr();
    dir.Write("htdocs/late.mp4", std::string(kVideoSize, 'v'));
    const std::string mimeTypes = dir.Write("mime.types", "video/mp4 mp4\n");

    ChildProcess backend(
        namespaces.InServer({nghttpd, "--no-tls", "--address=127.0.0.1", "--htdocs=" + (dir / "htdocs"),
                             "--mime-types-file=" + mimeTypes, "8080"}));
    ChildProcess frontend(
        namespaces.InServer({nghttpx, "--conf=/dev/null", "--workers=1", "--no-ocsp", "--log-level=ERROR",
                             "--frontend=" + kServerAddress + "," + std::to_string(kPort),
                             "--backend=127.0.0.1,8080;;proto=h2", key, certificate}));
    const std::string url = "https://" + kServerAddress + ":" + std::to_string(kPort) + "/late.mp4";
    bool serving = false;
    for (int attempt = 0; attempt < 50 && !serving; ++attempt) {
        ChildProcess probe(namespaces.InClient({curl, "-k", "-s", "-f", "-I", "-o", "/dev/null", url}));
        serving = probe.Finish() == 0;
        if (!serving) std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(serving) << "the server did not answer: " << frontend.Stderr() << backend.Stderr();

    ChildProcess tarnwick(namespaces.InClient(
        {TARNWICK_BINARY, "--headless", "--json", "--interface", namespaces.ClientLink(), "--keylog", readKeyLog}));
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on") == std::string::npos && std::chrono::steady_clock::now() < readyBy &&
           !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on " + namespaces.ClientLink()), std::string::npos)
        << tarnwick.Stderr();

    ChildProcess fetch(namespaces.InClient({"/usr/bin/env", "SSLKEYLOGFILE=" + clientKeyLog, curl, "-k", "-s", "-S",
                                            curlProtocol, "--limit-rate", "200K", "-o", "/dev/null", url}));
    const auto secretsBy = std::chrono::steady_clock::now() + 10s;
    while (ReadFile(clientKeyLog).find("CLIENT_TRAFFIC_SECRET_0") == std::string::npos &&
           std::chrono::steady_clock::now() < secretsBy && !fetch.Exited())
        tarnwick.Pump(50ms);
    ASSERT_NE(ReadFile(clientKeyLog).find("CLIENT_TRAFFIC_SECRET_0"), std::string::npos) << fetch.Stderr();
    PumpFor(tarnwick, 300ms);  // records of the connection queue meanwhile, waiting for their keys
    ASSERT_FALSE(fetch.Exited()) << "the transfer ended before its key log was handed over";
    std::filesystem::copy_file(clientKeyLog, readKeyLog);
    ASSERT_EQ(fetch.Finish(), 0) << fetch.Stderr();

    const std::string expected = "\"type\":\"mp4\",\"size\":" + std::to_string(kVideoSize) + ",\"url\":\"" + url +
                                 "\",\"adapter\":\"" + namespaces.ClientLink() + "\"}";
    const auto listedBy = std::chrono::steady_clock::now() + 5s;
    while (tarnwick.Stdout().find(expected) == std::string::npos && std::chrono::steady_clock::now() < listedBy)
        tarnwick.Pump(50ms);
    PumpFor(tarnwick, 300ms);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    const std::string& out = tarnwick.Stdout();
    ASSERT_NE(out.find(expected), std::string::npos) << "stdout: " << out << "\nstderr: " << tarnwick.Stderr();
    EXPECT_EQ(out.find(expected), out.rfind(expected)) << out;  // once
    EXPECT_EQ(out.find("\"url\":\"http://"), std::string::npos) << out;
}

TEST(LateKeyLogLive, VideoOverHttp1IsListedOnceWhenTheKeyLogComesAfterTheHandshake) {
    ExpectVideoListedWithLateKeyLog("--http1.1");
}

// The server's choice of protocol travels encrypted (TLS 1.3): read late, it must still give HTTP/2.
TEST(LateKeyLogLive, VideoOverHttp2IsListedOnceWhenTheKeyLogComesAfterTheHandshake) {
    ExpectVideoListedWithLateKeyLog("--http2");
}

}  // namespace
}  // namespace tarnwick

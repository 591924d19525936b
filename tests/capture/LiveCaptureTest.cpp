// SPDX-License-Identifier: GPL-3.0-or-later
// Live capture on loopback: a real server on 127.0.0.2, a real client on 127.0.0.1, tarnwick in between.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "capture/session/CaptureSession.h"
#include "capture/source/PcapngReader.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PublicCopy.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

constexpr int kAttempts = 5;
constexpr int64_t kBaseSize = 150000;

// Serves /video.mp4?attempt=N with kBaseSize + N bytes, so every attempt has a size of its own.
class VideoServer {
public:
    explicit VideoServer(const char* host = "127.0.0.2") {
        server_.Get("/video.mp4", [](const httplib::Request& request, httplib::Response& response) {
            const int attempt = std::stoi(request.get_param_value("attempt"));
            response.set_content(std::string(static_cast<size_t>(kBaseSize + attempt), 'v'), "video/mp4");
        });
        port_ = server_.bind_to_any_port(host);
        if (port_ > 0) thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~VideoServer() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    int Port() const { return port_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = -1;
};

bool CanCaptureOnLoopback(std::string* reason) {
    CaptureSession probe("lo");
    if (!probe.CaptureStarted()) *reason = probe.StartError();
    return probe.CaptureStarted();
}

// Waits until the child says it captures on lo.
void WaitUntilCapturing(ChildProcess& tarnwick) {
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on lo") == std::string::npos &&
           std::chrono::steady_clock::now() < readyBy && !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on lo"), std::string::npos) << tarnwick.Stderr();
}

// Fetches videos of sizes of their own until the child lists one (a few attempts, as the kernel may
// drop a frame now and then), with its size, type and adapter.
void ExpectFetchedVideoListed(ChildProcess& tarnwick) {
    VideoServer server;
    ASSERT_GT(server.Port(), 0) << "cannot listen on 127.0.0.2";
    httplib::Client client("127.0.0.2", server.Port());
    bool listed = false;
    std::string expectedUrl;
    for (int attempt = 1; attempt <= kAttempts && !listed; ++attempt) {
        const std::string path = "/video.mp4?attempt=" + std::to_string(attempt);
        auto response = client.Get(path);
        ASSERT_TRUE(response) << "fetch failed";
        ASSERT_EQ(response->status, 200);
        expectedUrl = "\"url\":\"http://127.0.0.2:" + std::to_string(server.Port()) + path + "\"";
        const std::string expectedSize = "\"size\":" + std::to_string(kBaseSize + attempt) + ",";
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (!listed && std::chrono::steady_clock::now() < deadline) {
            tarnwick.Pump(50ms);
            const std::string& out = tarnwick.Stdout();
            const size_t at = out.find(expectedUrl);
            if (at == std::string::npos) continue;
            const size_t lineStart = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
            const std::string line = out.substr(lineStart, out.find('\n', at) - lineStart);
            EXPECT_NE(line.find(expectedSize), std::string::npos) << line;
            EXPECT_NE(line.find("\"type\":\"mp4\""), std::string::npos) << line;
            EXPECT_NE(line.find("\"adapter\":\"lo\""), std::string::npos) << line;
            listed = true;
        }
    }
    EXPECT_TRUE(listed) << "stdout: " << tarnwick.Stdout() << "\nstderr: " << tarnwick.Stderr();
}

TEST(LiveCapture, VideoFetchedOverLoopbackIsListedWithinTwoSeconds) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo"});
    ASSERT_TRUE(tarnwick.Started());
    WaitUntilCapturing(tarnwick);
    ExpectFetchedVideoListed(tarnwick);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
}

// Linux's "any" adapter sees loopback frames only coming in, between equal addresses for ::1: each video
// is still listed, once.
TEST(LiveCapture, AnyAdapterListsLoopbackVideosOfBothIpVersionsOnce) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    VideoServer v4("127.0.0.2"), v6("::1");
    ASSERT_GT(v4.Port(), 0);
    if (v6.Port() <= 0) GTEST_SKIP() << "no IPv6 loopback here";

    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "any"});
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on any") == std::string::npos &&
           std::chrono::steady_clock::now() < readyBy && !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on any"), std::string::npos) << tarnwick.Stderr();

    // Sizes of their own (attempts 11 and up), so neither is taken for another test's video.
    struct Fetch {
        std::string host;
        int port;
        int attempt;
    };
    for (const Fetch& fetch : {Fetch{"127.0.0.2", v4.Port(), 11}, Fetch{"[::1]", v6.Port(), 12}}) {
        const std::string hostHeader = fetch.host + ":" + std::to_string(fetch.port);
        const std::string path = "/video.mp4?attempt=" + std::to_string(fetch.attempt);
        const std::string url = "\"url\":\"http://" + hostHeader + path + "\"";
        httplib::Client client(fetch.host == "[::1]" ? "::1" : fetch.host, fetch.port);
        for (int tries = 0; tries < kAttempts && tarnwick.Stdout().find(url) == std::string::npos; ++tries) {
            auto response = client.Get(path.c_str(), httplib::Headers{{"Host", hostHeader}});
            ASSERT_TRUE(response) << "fetch failed: " << hostHeader;
            const auto deadline = std::chrono::steady_clock::now() + 2s;
            while (tarnwick.Stdout().find(url) == std::string::npos && std::chrono::steady_clock::now() < deadline)
                tarnwick.Pump(50ms);
        }
        const std::string& out = tarnwick.Stdout();
        const size_t first = out.find(url);
        ASSERT_NE(first, std::string::npos) << url << " not listed: " << out << tarnwick.Stderr();
        EXPECT_EQ(out.find(url, first + 1), std::string::npos) << out;
    }
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
}

// curl fetches over HTTPS from 127.0.0.2 and writes its key log; tarnwick reads the same log as it grows.
TEST(LiveCapture, VideoFetchedOverHttpsWithAKeyLogIsListedOnceWithItsHttpsAddress) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem", keyLog = dir / "keys.log";
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                          "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj", "/CN=127.0.0.2"});
    ASSERT_EQ(openssl.Finish(), 0) << openssl.Stderr();
    httplib::SSLServer server(certificate.c_str(), key.c_str());
    ASSERT_TRUE(server.is_valid());
    server.Get("/clip.mp4", [](const httplib::Request& request, httplib::Response& response) {
        const int attempt = std::stoi(request.get_param_value("attempt"));
        response.set_content(std::string(static_cast<size_t>(kBaseSize + attempt), 's'), "video/mp4");
    });
    const int port = server.bind_to_any_port("127.0.0.2");
    ASSERT_GT(port, 0);
    std::thread serving([&server] { server.listen_after_bind(); });

    // The key log does not exist yet: it is read once curl has written it.
    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--keylog", keyLog});
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (tarnwick.Stderr().find("capturing on lo") == std::string::npos &&
           std::chrono::steady_clock::now() < readyBy && !tarnwick.Exited())
        tarnwick.Pump(100ms);
    ASSERT_NE(tarnwick.Stderr().find("capturing on lo"), std::string::npos) << tarnwick.Stderr();

    std::string expectedLine;
    bool listed = false;
    for (int attempt = 1; attempt <= kAttempts && !listed; ++attempt) {
        const std::string url =
            "https://127.0.0.2:" + std::to_string(port) + "/clip.mp4?attempt=" + std::to_string(attempt);
        ChildProcess curl(
            {"/usr/bin/env", "SSLKEYLOGFILE=" + keyLog, "curl", "-k", "-s", "--noproxy", "*", "-o", "/dev/null", url});
        ASSERT_EQ(curl.Finish(), 0) << "fetch failed: " << curl.Stderr();
        expectedLine = "\"type\":\"mp4\",\"size\":" + std::to_string(kBaseSize + attempt) + ",\"url\":\"" + url +
                       "\",\"adapter\":\"lo\"}";
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (!listed && std::chrono::steady_clock::now() < deadline) {
            tarnwick.Pump(50ms);
            listed = tarnwick.Stdout().find(expectedLine) != std::string::npos;
        }
    }
    ASSERT_TRUE(listed) << "stdout: " << tarnwick.Stdout() << "\nstderr: " << tarnwick.Stderr();
    tarnwick.Pump(500ms);
    const std::string& out = tarnwick.Stdout();
    EXPECT_EQ(out.find(expectedLine), out.rfind(expectedLine)) << out;  // once

    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    EXPECT_NE(tarnwick.Stderr().find("key log " + keyLog + ": "), std::string::npos) << tarnwick.Stderr();
    server.stop();
    serving.join();
}

// A port on 127.0.0.2 that nobody listens on now, for a server that cannot say which one it took.
int UnusedPort() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000002);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

bool AcceptsOn127002(int port) {
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000002);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool accepted = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(client);
    return accepted;
}

// nghttpd serves over HTTP/2 with TLS on 127.0.0.2; curl fetches two videos at once on one connection
// and writes its key log. Each stream is its own video: both are listed, once each, with https addresses.
TEST(LiveCapture, TwoVideosFetchedAtOnceOverOneHttp2ConnectionAreListedOnceEach) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    const std::string nghttpd = "/usr/sbin/nghttpd";
    if (access(nghttpd.c_str(), X_OK) != 0) GTEST_SKIP() << "no HTTP/2 server here (nghttpd, package nghttp2-server)";
    testing::TempDir dir;
    const std::string key = dir / "key.pem", certificate = dir / "cert.pem", keyLog = dir / "keys.log";
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                          "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj", "/CN=127.0.0.2"});
    ASSERT_EQ(openssl.Finish(), 0) << openssl.Stderr();
    std::filesystem::create_directory(dir / "htdocs");
    const std::string mimeTypes = dir.Write("mime.types", "video/mp4 mp4\nvideo/webm webm\n");
    const int port = UnusedPort();
    ASSERT_GT(port, 0);
    ChildProcess server({nghttpd, "--address=127.0.0.2", "--htdocs=" + (dir / "htdocs"),
                         "--mime-types-file=" + mimeTypes, std::to_string(port), key, certificate});
    const auto serverReadyBy = std::chrono::steady_clock::now() + 5s;
    while (!AcceptsOn127002(port) && std::chrono::steady_clock::now() < serverReadyBy) server.Pump(50ms);
    ASSERT_TRUE(AcceptsOn127002(port)) << server.Stderr();

    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--keylog", keyLog});
    WaitUntilCapturing(tarnwick);

    // Sizes of their own per attempt: the video table takes equal sizes for one video.
    std::string expected[2];
    bool listed = false;
    for (int attempt = 1; attempt <= kAttempts && !listed; ++attempt) {
        const std::string base = "https://127.0.0.2:" + std::to_string(port) + "/";
        const std::string names[2] = {"first-" + std::to_string(attempt) + ".mp4",
                                      "second-" + std::to_string(attempt) + ".webm"};
        const int64_t sizes[2] = {kBaseSize + 10 * attempt, kBaseSize + 10 * attempt + 5};
        for (int i = 0; i < 2; ++i) {
            dir.Write("htdocs/" + names[i], std::string(static_cast<size_t>(sizes[i]), 'h'));
            expected[i] = std::string("\"type\":\"") + (i == 0 ? "mp4" : "webm") +
                          "\",\"size\":" + std::to_string(sizes[i]) + ",\"url\":\"" + base + names[i] +
                          "\",\"adapter\":\"lo\"}";
        }
        ChildProcess curl({"/usr/bin/env", "SSLKEYLOGFILE=" + keyLog, "curl", "-k", "-s", "--noproxy", "*", "--http2",
                           "--parallel", "-o", "/dev/null", "-o", "/dev/null", base + names[0], base + names[1]});
        ASSERT_EQ(curl.Finish(), 0) << "fetch failed: " << curl.Stderr();
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (!listed && std::chrono::steady_clock::now() < deadline) {
            tarnwick.Pump(50ms);
            listed = tarnwick.Stdout().find(expected[0]) != std::string::npos &&
                     tarnwick.Stdout().find(expected[1]) != std::string::npos;
        }
    }
    ASSERT_TRUE(listed) << "stdout: " << tarnwick.Stdout() << "\nstderr: " << tarnwick.Stderr();
    tarnwick.Pump(500ms);
    const std::string& out = tarnwick.Stdout();
    for (const std::string& line : expected) EXPECT_EQ(out.find(line), out.rfind(line)) << out;  // once

    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
}

// Sends bytes over one loopback TCP connection to 127.0.0.2 as fast as the kernel takes them.
void FloodLoopback(size_t bytes) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000002);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::thread sink([listener] {
        const int connection = accept(listener, nullptr, nullptr);
        char buffer[65536];
        while (connection >= 0 && read(connection, buffer, sizeof buffer) > 0) {
        }
        if (connection >= 0) close(connection);
    });
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string block(65536, 'f');
    for (size_t sent = 0; sent < bytes;) {
        const ssize_t count = write(client, block.data(), block.size());
        if (count <= 0) break;
        sent += static_cast<size_t>(count);
    }
    close(client);
    sink.join();
    close(listener);
}

uint64_t DroppedIn(const std::string& text, const std::regex& pattern) {
    uint64_t most = 0;
    for (std::sregex_iterator match(text.begin(), text.end(), pattern), end; match != end; ++match)
        most = std::max<uint64_t>(most, std::stoull((*match)[1].str()));
    return most;
}

// Holds the capturing child still while the kernel fills its smallest buffer, so drops are certain,
// and expects them said during the run (within the given time) and at the end.
void ExpectDropsReported(ChildProcess& tarnwick, std::chrono::seconds wait) {
    WaitUntilCapturing(tarnwick);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGSTOP), 0);
    FloodLoopback(64u << 20);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGCONT), 0);

    const std::regex jsonDrops(R"(\{"adapter":"lo","received":\d+,"dropped":(\d+)\})");
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (DroppedIn(tarnwick.Stdout(), jsonDrops) == 0 && std::chrono::steady_clock::now() < deadline)
        tarnwick.Pump(100ms);
    EXPECT_GT(DroppedIn(tarnwick.Stdout(), jsonDrops), 0u)
        << "no line while running: " << tarnwick.Stdout() << "\nstderr: " << tarnwick.Stderr();

    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    const std::regex endLine(R"(lo: \d+ packets received by filter, (\d+) packets dropped by kernel)");
    EXPECT_GT(DroppedIn(tarnwick.Stderr(), endLine), 0u) << tarnwick.Stderr();
    const std::string& out = tarnwick.Stdout();
    const size_t lastLine = out.rfind('\n', out.size() - 2);
    EXPECT_GT(DroppedIn(out.substr(lastLine == std::string::npos ? 0 : lastLine), jsonDrops), 0u)
        << out << "\nstderr: " << tarnwick.Stderr();
}

TEST(LiveCapture, KernelDropsAreReportedDuringTheRunAndAtTheEnd) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--buffer-size", "1"});
    ExpectDropsReported(tarnwick, 5s);
}

using testing::kNobody;

// tarnwick and its capture helper in a folder every user can reach, the helper granted the capture
// capabilities as the Debian package grants them. Skips the test where capture cannot be granted.
class UnprivilegedCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to grant the helper its capabilities and to run as nobody";
        if (!copy_.Path().empty()) helper_ = copy_.Add(TARNWICK_CAPTURE_HELPER);
        ASSERT_FALSE(helper_.empty()) << copy_.Error();
        std::string error;
        if (!testing::GrantCaptureCapabilities(helper_, &error)) GTEST_SKIP() << error;
    }

    testing::PublicCopy copy_{TARNWICK_BINARY};
    std::string helper_;
};

TEST_F(UnprivilegedCapture, HeadlessListsThroughTheHelperAndEndsWithItsFigures) {
    ChildProcess tarnwick({copy_.Path(), "--headless", "--json", "--interface", "lo"}, kNobody);
    ASSERT_TRUE(tarnwick.Started());
    WaitUntilCapturing(tarnwick);
    ExpectFetchedVideoListed(tarnwick);
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
    // The helper's closing statistics: the fetch above passed the filter.
    const std::regex endLine(R"(lo: (\d+) packets received by filter, 0 packets dropped by kernel)");
    std::smatch figures;
    ASSERT_TRUE(std::regex_search(tarnwick.Stderr(), figures, endLine)) << tarnwick.Stderr();
    EXPECT_GT(std::stoull(figures[1].str()), 5u);
}

TEST_F(UnprivilegedCapture, DropsInTheHelperAreReported) {
    // Held still, the reader stops taking the helper's stream; the helper then waits on the full pipe
    // while the kernel's buffer overflows.
    ChildProcess tarnwick({copy_.Path(), "--headless", "--json", "--interface", "lo", "--buffer-size", "1"}, kNobody);
    // The helper's figures come one request (a second) later than the kernel's own; a sanitizer build
    // under a loaded machine takes a good while longer to drain what piled up.
    ExpectDropsReported(tarnwick, 30s);
}

TEST_F(UnprivilegedCapture, HelperErrorsReachTheUser) {
    // A helper without the capabilities names the command that grants them.
    testing::PublicCopy bare(TARNWICK_BINARY);
    const std::string bareHelper = bare.Path().empty() ? "" : bare.Add(TARNWICK_CAPTURE_HELPER);
    ASSERT_FALSE(bareHelper.empty()) << bare.Error();
    ChildProcess denied({bare.Path(), "--headless", "--interface", "lo"}, kNobody);
    EXPECT_EQ(denied.Finish(), 1);
    EXPECT_NE(denied.Stderr().find("tarnwick: cannot capture on lo: permission denied."), std::string::npos)
        << denied.Stderr();
    EXPECT_NE(denied.Stderr().find("setcap cap_net_raw,cap_net_admin+eip " + bareHelper), std::string::npos)
        << denied.Stderr();

    // A helper that may not be run at all (not in its group) is said so, with the fix.
    ASSERT_EQ(chmod(helper_.c_str(), 0750), 0);
    ChildProcess outsider({copy_.Path(), "--headless", "--interface", "lo"}, kNobody);
    EXPECT_EQ(outsider.Finish(), 1);
    EXPECT_NE(outsider.Stderr().find("members of the group tarnwick may run the capture helper"), std::string::npos)
        << outsider.Stderr();
}

TEST_F(UnprivilegedCapture, HelperRefusesToRunSetUserId) {
    struct statvfs mount {};
    if (statvfs(helper_.c_str(), &mount) == 0 && (mount.f_flag & ST_NOSUID))
        GTEST_SKIP() << "the temporary folder is mounted nosuid";
    ASSERT_EQ(chmod(helper_.c_str(), 04755), 0);
    ChildProcess helper({helper_, "--interface", "lo"}, kNobody);
    EXPECT_EQ(helper.Finish(), 1);
    EXPECT_NE(helper.Stderr().find("refusing to run set-user-ID"), std::string::npos) << helper.Stderr();
    EXPECT_TRUE(helper.Stdout().empty());
}

// The byte at offset r of the lagging-reader test's connection.
uint8_t PatternByte(uint64_t r) {
    return static_cast<uint8_t>(r ^ (r >> 9) ^ (r >> 17));
}

// Checks every TCP payload byte of one connection on lo (Ethernet framing) against its place in the
// stream, which the SYN's sequence number gives, and that the packets come in the order sent: memory
// the kernel filled again shows as later packets in the place of earlier ones. A segment sent again
// is no disorder: loopback drops what it cannot queue after capture has seen it (when others flood
// it), and TCP then sends bytes already seen once more.
class PatternCheck final : public PacketHandler {
public:
    explicit PatternCheck(uint16_t port) : port_(port) {}
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int) override {
        if (header.caplen < 14 + 20 + 20 || bytes[12] != 0x08 || bytes[13] != 0x00) return;
        const uint8_t* ip = bytes + 14;
        const size_t ipLength = (ip[0] & 0x0F) * 4u;
        if (ip[9] != 6 || 14 + ipLength + 20 > header.caplen) return;
        const uint8_t* tcp = ip + ipLength;
        if ((tcp[2] << 8 | tcp[3]) != port_) return;
        const uint32_t sequence = uint32_t{tcp[4]} << 24 | uint32_t{tcp[5]} << 16 | uint32_t{tcp[6]} << 8 | tcp[7];
        if (tcp[13] & 0x02) {  // SYN
            start_ = sequence + 1;
            return;
        }
        const size_t payload = 14 + ipLength + (tcp[12] >> 4) * 4u;
        if (!start_ || payload >= header.caplen) return;
        const uint32_t offset = sequence - *start_;
        for (size_t i = payload; i < header.caplen; ++i)
            if (bytes[i] != PatternByte(offset + (i - payload))) ++wrong;
        checked += header.caplen - payload;
        const uint64_t end = offset + (header.caplen - payload);
        if (offset < reached_ && !Seen(offset, std::min(end, reached_))) ++backwards;
        See(offset, end);
        reached_ = std::max(reached_, end);
    }
    bool Started() const { return start_.has_value(); }
    uint64_t checked = 0;
    uint64_t wrong = 0;
    uint64_t backwards = 0;

private:
    // Whether every byte of [from, to) came before.
    bool Seen(uint64_t from, uint64_t to) const {
        auto span = seen_.upper_bound(from);
        if (span == seen_.begin()) return false;
        --span;
        return span->second >= to;
    }
    // Adds [from, to) to the spans seen, joining those it touches.
    void See(uint64_t from, uint64_t to) {
        auto next = seen_.upper_bound(from);
        if (next != seen_.begin() && std::prev(next)->second >= from) {
            --next;
            from = next->first;
            to = std::max(to, next->second);
            next = seen_.erase(next);
        }
        while (next != seen_.end() && next->first <= to) {
            to = std::max(to, next->second);
            next = seen_.erase(next);
        }
        seen_[from] = to;
    }

    uint16_t port_;
    std::optional<uint32_t> start_;
    uint64_t reached_ = 0;
    std::map<uint64_t, uint64_t> seen_;  // start -> end of the byte spans seen, apart from each other
};

// The helper hands the kernel's memory to the pipe by reference when asked; a reader that lags behind
// must still get every byte as captured, never bytes the kernel wrote later into the same memory.
// Packet blocks written in place and whole ring blocks (Tarnwick's way) alike.
void ExpectStreamWholeWhileReaderLags(const std::vector<std::string>& options, bool* checkedEnough) {
    *checkedEnough = false;
    // The smallest buffer: the kernel comes round its ring again while the reader does not read.
    std::vector<std::string> command{TARNWICK_CAPTURE_HELPER, "--interface", "lo",
                                     "--buffer-size",         "1",           "--share-pages"};
    command.insert(command.end(), options.begin(), options.end());
    ChildProcess helper(command);
    ASSERT_TRUE(helper.Started());
    ASSERT_TRUE(helper.WidenOutput(1 << 20));  // room for whole blocks, as Tarnwick gives it
    const auto readyBy = std::chrono::steady_clock::now() + 10s;
    while (helper.Stdout().empty() && std::chrono::steady_clock::now() < readyBy && !helper.Exited())
        helper.Pump(100ms);
    ASSERT_FALSE(helper.Stdout().empty()) << helper.Stderr();  // the stream's header: the adapter is open

    PcapngReader reader;
    std::unique_ptr<PatternCheck> check;
    size_t parsed = 0;
    const auto parseNew = [&] {
        while (parsed < helper.Stdout().size()) {
            size_t room = 0;
            uint8_t* into = reader.Room(room);
            const size_t count = std::min(room, helper.Stdout().size() - parsed);
            std::memcpy(into, helper.Stdout().data() + parsed, count);
            reader.Commit(count);
            parsed += count;
            if (reader.Parse(*check) != PcapngReader::Result::Ok) return false;
        }
        return true;
    };
    // The SYN gives the stream's start, so it must come through while the stream is read; other tests
    // may flood loopback and fill the small ring meanwhile, and then the connection is made again.
    int listener = -1;
    int client = -1;
    for (int attempt = 0; attempt < 5 && !(check && check->Started()); ++attempt) {
        if (listener >= 0) close(listener);
        if (client >= 0) close(client);
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t addressLength = sizeof address;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &addressLength), 0);
        check = std::make_unique<PatternCheck>(ntohs(address.sin_port));
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const auto synBy = std::chrono::steady_clock::now() + 3s;
        while (!check->Started() && std::chrono::steady_clock::now() < synBy) {
            helper.Pump(50ms);
            ASSERT_TRUE(parseNew()) << reader.Error();
        }
    }
    ASSERT_TRUE(check->Started()) << "no connection's SYN came through the helper";
    std::thread sink([listener] {
        const int connection = accept(listener, nullptr, nullptr);
        char buffer[65536];
        while (connection >= 0 && read(connection, buffer, sizeof buffer) > 0) {
        }
        if (connection >= 0) close(connection);
    });
    // 8 MiB while the stream is not read: the pipe fills and the helper waits with its memory in it.
    constexpr size_t kBytes = 8u << 20;
    std::string data(kBytes, '\0');
    for (size_t i = 0; i < kBytes; ++i) data[i] = static_cast<char>(PatternByte(i));
    for (size_t sent = 0; sent < kBytes;) {
        const ssize_t count = write(client, data.data() + sent, std::min<size_t>(kBytes - sent, 32768));
        ASSERT_GT(count, 0);
        sent += static_cast<size_t>(count);
    }
    close(client);
    sink.join();
    close(listener);
    // Then the stream is taken, and checked as it comes, until every byte of the connection has been
    // seen, or nothing has come for a while (the last block's time-out passed). Other tests may keep
    // loopback busy, so the bound is generous.
    const auto giveUpBy = std::chrono::steady_clock::now() + 60s;
    auto quietSince = std::chrono::steady_clock::now();
    while (check->checked < kBytes && std::chrono::steady_clock::now() < giveUpBy &&
           std::chrono::steady_clock::now() - quietSince < 2s) {
        const size_t before = helper.Stdout().size();
        helper.Pump(50ms);
        if (helper.Stdout().size() != before) quietSince = std::chrono::steady_clock::now();
        ASSERT_TRUE(parseNew()) << reader.Error();
    }

    ASSERT_EQ(kill(helper.Pid(), SIGTERM), 0);
    EXPECT_EQ(helper.Finish(), 0) << helper.Stderr();
    ASSERT_TRUE(parseNew()) << reader.Error();
    EXPECT_TRUE(reader.AtBlockBoundary());
    EXPECT_EQ(check->wrong, 0u) << "of " << check->checked << " payload bytes";
    EXPECT_EQ(check->backwards, 0u);
    // The kernel drops what its ring cannot hold; when others flood loopback at the same time, that
    // may be all of this connection, and then nothing was checked.
    *checkedEnough = check->checked >= 64u * 1024;
}

TEST(LiveCapture, HelperStreamStaysWholeWhileItsReaderLags) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    for (const auto& [mode, options] :
         {std::pair<const char*, std::vector<std::string>>{"packet blocks", {}}, {"ring blocks", {"--ring-blocks"}}}) {
        SCOPED_TRACE(mode);
        bool checkedEnough = false;
        for (int attempt = 0; attempt < 3 && !checkedEnough; ++attempt) {
            ExpectStreamWholeWhileReaderLags(options, &checkedEnough);
            if (HasFatalFailure()) return;
        }
        if (!checkedEnough)
            GTEST_SKIP() << "loopback too busy: the kernel dropped the connection's packets (" << mode << ")";
    }
}

TEST(LiveCapture, IdleSessionStopsPromptly) {
    std::string reason;
    CaptureSession* session = new CaptureSession("lo");
    if (!session->CaptureStarted()) {
        delete session;
        GTEST_SKIP() << "live capture not permitted here";
    }
    const auto start = std::chrono::steady_clock::now();
    delete session;
    // A waiting read is woken at once; the bound only leaves room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// A FIFO as the key log that nobody writes to: the capture starts all the same, and a stop signal ends it
// at once.
TEST(LiveCapture, StopSignalEndsACaptureWhoseKeyLogIsASilentFifo) {
    std::string reason;
    if (!CanCaptureOnLoopback(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    testing::TempDir dir;
    const std::string fifo = dir / "keys.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess tarnwick({TARNWICK_BINARY, "--headless", "--json", "--interface", "lo", "--keylog", fifo});
    ASSERT_TRUE(tarnwick.Started());
    WaitUntilCapturing(tarnwick);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(tarnwick.Pid(), SIGTERM), 0);
    while (!tarnwick.Exited() && std::chrono::steady_clock::now() - start < 5s) tarnwick.Pump(20ms);
    EXPECT_TRUE(tarnwick.Exited()) << "SIGTERM did not end the capture";
    if (!tarnwick.Exited()) kill(tarnwick.Pid(), SIGKILL);
    EXPECT_EQ(tarnwick.Finish(), 0) << tarnwick.Stderr();
}

TEST(LiveCapture, SessionThatCannotOpenIsDestroyedAtOnce) {
    CaptureSession session("no-such-adapter0");
    EXPECT_FALSE(session.CaptureStarted());
    EXPECT_TRUE(session.Finished());
    EXPECT_NE(session.StartError().find("no-such-adapter0"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick

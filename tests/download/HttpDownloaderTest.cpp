// SPDX-License-Identifier: GPL-3.0-or-later
// HttpDownloader against real HTTP servers on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "TempPath.h"
#include "UntrustedHttpsServer.h"
#include "capture/session/OwnConnections.h"
#include "download/HttpDownloader.h"

namespace tarnwick {
namespace {

using test::Exists;
using test::HttpTestServer;
using test::ReadFile;
using test::SampleBody;
using test::ScriptedTcpServer;
using test::TempFolder;
using test::WriteFile;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

// Records what the transfer reports through its hooks.
class RecordingDownloader : public HttpDownloader {
public:
    struct Progress {
        uint64_t bytes;
        int32_t known;
        uint64_t total;
    };
    std::vector<std::pair<int, uint32_t>> systemErrors, httpErrors;
    std::vector<std::pair<uint32_t, std::string>> notifications;
    std::vector<std::string> statusTexts;
    std::vector<uint64_t> contentLengths;
    std::vector<Progress> progress;
    int credentialRequests = 0;

protected:
    void OnSystemError(int id, uint32_t code) override { systemErrors.emplace_back(id, code); }
    void OnHttpError(int id, uint32_t number) override { httpErrors.emplace_back(id, number); }
    void OnStatusCallback(void*, uint32_t status, const void* data, uint32_t length) override {
        notifications.emplace_back(status, std::string(static_cast<const char*>(data), length - 1));
    }
    void SetStatusText(const std::string& text) override { statusTexts.push_back(text); }
    void OnContentLength(uint64_t length) override { contentLengths.push_back(length); }
    void OnProgress(uint64_t bytes, int32_t known, uint64_t total) override {
        progress.push_back({bytes, known, total});
    }
    bool OnCredentialsNeeded(uint32_t& answer) override {
        ++credentialRequests;
        return HttpDownloader::OnCredentialsNeeded(answer);
    }
};

class HttpDownloaderTest : public ::testing::Test {
protected:
    HttpTestServer server;
    TempFolder folder;
    RecordingDownloader downloader;
    std::string target = folder.File("video.flv");

    void SetUp() override {
        downloader.filePath = target;
        downloader.userAgent = kDownloadUserAgent;
    }
};

TEST_F(HttpDownloaderTest, CompleteDownloadWritesTheBodyAndReportsEachPhase) {
    downloader.url = server.Url("/file.bin");
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();

    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    EXPECT_EQ(server.LastHeader("User-Agent"), kDownloadUserAgent);
    EXPECT_EQ(server.LastHeader("Accept"), "*/*");
    EXPECT_EQ(server.LastHeader("Range"), "");
    EXPECT_THAT(downloader.statusTexts, ElementsAre("Getting file information", "Retrieving the file"));
    EXPECT_THAT(downloader.contentLengths, ElementsAre(HttpTestServer::kFileSize));
    ASSERT_FALSE(downloader.progress.empty());
    EXPECT_EQ(downloader.progress.back().bytes, HttpTestServer::kFileSize);
    EXPECT_EQ(downloader.progress.back().known, 1);
    EXPECT_EQ(downloader.progress.back().total, HttpTestServer::kFileSize);
    EXPECT_THAT(downloader.notifications, Contains(Pair(kStatusResolvingName, "127.0.0.1")));
    EXPECT_THAT(downloader.notifications, Contains(Pair(kStatusConnecting, "127.0.0.1")));
    EXPECT_THAT(downloader.notifications, Contains(Pair(kStatusConnected, "127.0.0.1")));
    EXPECT_TRUE(downloader.systemErrors.empty());
    EXPECT_TRUE(downloader.httpErrors.empty());
}

TEST_F(HttpDownloaderTest, ResumeCutsAtTheOffsetAndAppendsTheRest) {
    const std::string body = SampleBody(HttpTestServer::kFileSize);
    WriteFile(target, body.substr(0, 1000) + std::string(500, 'x'));
    downloader.url = server.Url("/file.bin");
    downloader.resumeOffset = 1000;
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();

    EXPECT_EQ(server.LastHeader("Range"), "bytes=1000-");
    EXPECT_EQ(ReadFile(target), body);
    ASSERT_FALSE(downloader.progress.empty());
    EXPECT_EQ(downloader.progress.back().bytes, HttpTestServer::kFileSize - 1000);
    EXPECT_EQ(downloader.progress.back().total, HttpTestServer::kFileSize);
}

TEST_F(HttpDownloaderTest, ResumeStartsOverWhenTheServerSendsTheWholeFile) {
    const std::string body = SampleBody(5000);
    ScriptedTcpServer ignoresRange({{"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body, 0}}, false);
    WriteFile(target, std::string(1500, 'x'));
    downloader.url = "http://127.0.0.1:" + std::to_string(ignoresRange.Port()) + "/clip.flv";
    downloader.resumeOffset = 1000;
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_THAT(ignoresRange.ReceivedRequest(), HasSubstr("Range: bytes=1000-\r\n"));
    EXPECT_TRUE(ReadFile(target) == body);
    EXPECT_EQ(downloader.progress.back().total, 5000u);
}

TEST_F(HttpDownloaderTest, ErrorStatusIsReportedAndANewFileRemoved) {
    for (auto [path, status] : {std::pair{"/missing", 404u}, std::pair{"/broken", 500u}}) {
        RecordingDownloader failing;
        failing.filePath = target;
        failing.url = server.Url(path);
        EXPECT_EQ(failing.DownloadToFile(), 0);
        EXPECT_THAT(failing.httpErrors, ElementsAre(Pair(1611, status)));
        EXPECT_TRUE(failing.systemErrors.empty());
        EXPECT_FALSE(Exists(target));
        EXPECT_EQ(failing.ResponseCode(), static_cast<long>(status));
    }
}

TEST_F(HttpDownloaderTest, AResumeGoesOnOnlyFromWhatIsReallyOnDisk) {
    const std::string body = SampleBody(HttpTestServer::kFileSize);
    // The partial file is gone: asking for the rest would save the rest as the whole.
    downloader.url = server.Url("/file.bin");
    downloader.resumeOffset = 1000;
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_EQ(server.LastHeader("Range"), "");
    EXPECT_TRUE(ReadFile(target) == body);

    // A partial file shorter than the offset goes on from its own end, leaving no hole.
    RecordingDownloader shorter;
    shorter.filePath = folder.File("shorter.flv");
    WriteFile(shorter.filePath, body.substr(0, 600));
    shorter.url = server.Url("/file.bin");
    shorter.resumeOffset = 1000;
    ASSERT_EQ(shorter.DownloadToFile(), 1) << shorter.LastErrorDescription();
    EXPECT_EQ(server.LastHeader("Range"), "bytes=600-");
    EXPECT_TRUE(ReadFile(shorter.filePath) == body);
}

TEST_F(HttpDownloaderTest, AnEmptyAnswerIsAFailureThatSaysSoAndLeavesNoFile) {
    for (auto [path, status] : {std::pair{"/empty", 200u}, std::pair{"/nocontent", 204u}}) {
        RecordingDownloader empty;
        empty.filePath = target;
        empty.url = server.Url(path);
        EXPECT_EQ(empty.DownloadToFile(), 0) << path;
        EXPECT_THAT(empty.systemErrors, ElementsAre(Pair(1610, status))) << path;
        EXPECT_THAT(empty.LastErrorDescription(), HasSubstr("sent no data")) << path;
        EXPECT_FALSE(Exists(target)) << path;
    }
}

TEST_F(HttpDownloaderTest, TheBrowsersCookieReferrerAndAgentAreSentAgainButNeitherItsRangeNorABrokenValue) {
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    downloader.url = server.Url("/guarded");
    EXPECT_EQ(downloader.DownloadToFile(), 0);  // the server wants what the browser sent
    EXPECT_THAT(downloader.httpErrors, ElementsAre(Pair(1611, 403u)));

    RecordingDownloader browserLike;
    browserLike.filePath = target;
    browserLike.url = server.Url("/guarded");
    browserLike.userAgent = kDownloadUserAgent;
    // HTTP/2 sends every cookie as a field of its own.
    browserLike.capturedRequest =
        "GET /guarded HTTP/1.1\r\nHost: " + host +
        "\r\nUser-Agent: Firefox/128.0\r\ncookie: theme=dark\r\nCookie: " + HttpTestServer::kCookie +
        "\r\nReferer: " + HttpTestServer::kReferer + "\r\nRange: bytes=100-199\r\nConnection: keep-alive\r\n\r\n";
    ASSERT_EQ(browserLike.DownloadToFile(), 1) << browserLike.LastErrorDescription();
    EXPECT_TRUE(ReadFile(target) == SampleBody(HttpTestServer::kFileSize));
    EXPECT_EQ(server.LastHeader("User-Agent"), "Firefox/128.0");
    EXPECT_EQ(server.LastHeader("Cookie"), std::string("theme=dark; ") + HttpTestServer::kCookie);
    EXPECT_EQ(server.LastHeader("Range"), "");
    EXPECT_EQ(server.LastHeader("Host"), host);

    // A value with a line break in it could smuggle a field of its own: it is not sent at all.
    RecordingDownloader smuggling;
    smuggling.filePath = folder.File("smuggled.flv");
    smuggling.url = server.Url("/guarded");
    smuggling.capturedRequest = "GET /guarded HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + HttpTestServer::kCookie +
                                "\r\nReferer: " + HttpTestServer::kReferer + "\rX-Injected: 1\r\n\r\n";
    EXPECT_EQ(smuggling.DownloadToFile(), 0);
    EXPECT_EQ(server.LastHeader("X-Injected"), "");
    EXPECT_EQ(server.LastHeader("Referer"), "");
    EXPECT_THAT(smuggling.httpErrors, ElementsAre(Pair(1611, 403u)));
}

TEST_F(HttpDownloaderTest, TheTransfersSocketIsOneOfOurOwnConnectionsWhileItIsOpen) {
    downloader.url = server.Url("/file.bin");
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    const int clientPort = server.LastClientPort();
    const auto serverPort = static_cast<uint16_t>(server.Port());
    auto& registry = OwnConnections::Process();
    EXPECT_TRUE(registry.Owns(static_cast<uint16_t>(clientPort), serverPort, server.LastRequestTimeMs()));
    // Unregistered once closed: a packet stamped well after the close is no longer ours.
    EXPECT_FALSE(registry.Owns(static_cast<uint16_t>(clientPort), serverPort,
                               OwnConnections::NowMs() + 2 * OwnConnections::kEarlyMs));
}

TEST_F(HttpDownloaderTest, BodyWithoutContentLengthStillDownloads) {
    downloader.url = server.Url("/chunked");
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    EXPECT_TRUE(downloader.contentLengths.empty());
    ASSERT_FALSE(downloader.progress.empty());
    EXPECT_EQ(downloader.progress.back().known, 0);
    EXPECT_EQ(downloader.progress.back().total, 0u);
}

TEST_F(HttpDownloaderTest, RedirectIsFollowedAndAnnounced) {
    downloader.url = server.Url("/redirect");
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_EQ(ReadFile(target), SampleBody(HttpTestServer::kFileSize));
    EXPECT_THAT(downloader.notifications, Contains(Pair(kStatusRedirect, server.Url("/file.bin"))));
}

TEST_F(HttpDownloaderTest, RedirectIsAnErrorWhenNotFollowing) {
    downloader.url = server.Url("/redirect");
    downloader.noAutoRedirect = 1;
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_THAT(downloader.httpErrors, ElementsAre(Pair(1611, 302u)));
    EXPECT_FALSE(Exists(target));
}

TEST_F(HttpDownloaderTest, ConfiguredCredentialsAreSentBeforeTheFirstRequest) {
    downloader.url = server.Url("/secret");
    downloader.userName = "user";
    downloader.password = "secret";
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_EQ(server.Requests(), 1);
    EXPECT_EQ(downloader.credentialRequests, 0);
}

TEST_F(HttpDownloaderTest, ChallengeWithoutCredentials) {
    downloader.url = server.Url("/secret");
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_EQ(downloader.credentialRequests, 1);  // the base answer gives up
    EXPECT_TRUE(downloader.httpErrors.empty());
    EXPECT_THAT(downloader.LastErrorDescription(), HasSubstr("401"));
    EXPECT_FALSE(Exists(target));

    RecordingDownloader noPrompt;
    noPrompt.url = server.Url("/secret");
    noPrompt.promptServerCredentials = 0;
    EXPECT_EQ(noPrompt.DownloadToFile(), 0);
    EXPECT_THAT(noPrompt.httpErrors, ElementsAre(Pair(1611, 401u)));
}

TEST_F(HttpDownloaderTest, ConnectionRefusedLeavesNoFile) {
    downloader.url = "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/video.flv";
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_THAT(downloader.systemErrors, ElementsAre(Pair(1609, static_cast<uint32_t>(CURLE_COULDNT_CONNECT))));
    EXPECT_FALSE(downloader.LastErrorDescription().empty());
    EXPECT_FALSE(Exists(target));
}

TEST(HttpDownloaderTlsTest, UntrustedCertificateOrMissingStoreIsRefused) {
    test::UntrustedHttpsServer server;
    // The test scripts install the openssl tool: its absence is a broken set-up, not a reason to skip.
    ASSERT_TRUE(server.Ready()) << "no test certificate: is the openssl tool installed (scripts/deps.sh)?";
    TempFolder folder;
    RecordingDownloader downloader;
    downloader.url = server.Url("/file.bin");
    downloader.filePath = folder.File("secure.flv");
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_THAT(downloader.systemErrors,
                ElementsAre(Pair(1609, static_cast<uint32_t>(CURLE_PEER_FAILED_VERIFICATION))));
    EXPECT_FALSE(Exists(downloader.filePath));

    // Without a certificate store the user is told what is missing and which package brings it.
    RecordingDownloader noStore;
    noStore.url = server.Url("/file.bin");
    noStore.filePath = folder.File("nostore.flv");
    noStore.caBundle = folder.File("no-such-bundle.crt");
    EXPECT_EQ(noStore.DownloadToFile(), 0);
    EXPECT_THAT(noStore.systemErrors, ElementsAre(Pair(1609, static_cast<uint32_t>(CURLE_SSL_CACERT_BADFILE))));
    EXPECT_EQ(noStore.LastErrorDescription(),
              "no CA certificates found at " + noStore.caBundle + "; install ca-certificates");
    EXPECT_FALSE(Exists(noStore.filePath));
}

TEST_F(HttpDownloaderTest, WriteFailureIsReportedWithTheSystemCode) {
    downloader.url = server.Url("/file.bin");
    downloader.filePath = "/dev/full";
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_THAT(downloader.systemErrors, ElementsAre(Pair(1612, static_cast<uint32_t>(ENOSPC))));
}

TEST_F(HttpDownloaderTest, UnopenableTargetIsReported) {
    downloader.url = server.Url("/file.bin");
    downloader.filePath = folder.File("no/such/folder/video.flv");
    EXPECT_EQ(downloader.DownloadToFile(), 0);
    EXPECT_THAT(downloader.systemErrors, ElementsAre(Pair(1626, static_cast<uint32_t>(ENOENT))));
    EXPECT_EQ(server.Requests(), 0);
}

TEST_F(HttpDownloaderTest, EmptyTargetDiscardsTheBody) {
    downloader.url = server.Url("/file.bin");
    downloader.filePath.clear();
    EXPECT_EQ(downloader.DownloadToFile(), 1);
    EXPECT_EQ(downloader.progress.back().bytes, HttpTestServer::kFileSize);
}

// A server that sends a little of a large body and then stays silent.
std::vector<ScriptedTcpServer::Step> StalledBody() {
    return {{"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\nContent-Type: video/x-flv\r\n\r\n" + std::string(1000, 'v'),
             0}};
}

TEST(HttpDownloaderAbortTest, AbortStopsAStalledTransferAndRemovesTheNewFile) {
    ScriptedTcpServer server(StalledBody(), true);
    TempFolder folder;
    RecordingDownloader downloader;
    downloader.url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/video.flv";
    downloader.filePath = folder.File("partial.flv");

    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        downloader.Abort();
    });
    auto start = std::chrono::steady_clock::now();
    int result = downloader.DownloadToFile();
    auto took = std::chrono::steady_clock::now() - start;
    canceller.join();

    EXPECT_EQ(result, 0);
    EXPECT_LT(took, std::chrono::milliseconds(1300));
    EXPECT_FALSE(Exists(downloader.filePath));
    EXPECT_THAT(downloader.LastErrorDescription(), HasSubstr("cancelled"));
}

TEST(HttpDownloaderAbortTest, AFailedDownloadLeavesAnExistingFileAsItWas) {
    ScriptedTcpServer stalled(StalledBody(), true);
    HttpTestServer site;
    TempFolder folder;
    const std::string kept = folder.File("kept.flv");
    WriteFile(kept, "earlier download");
    for (const std::string& url :
         {"http://127.0.0.1:" + std::to_string(stalled.Port()) + "/video.flv", site.Url("/missing"),
          "http://127.0.0.1:" + std::to_string(test::UnusedPort()) + "/video.flv"}) {
        RecordingDownloader downloader;
        downloader.url = url;
        downloader.filePath = kept;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            downloader.Abort();
        });
        EXPECT_EQ(downloader.DownloadToFile(), 0) << url;
        canceller.join();
        EXPECT_EQ(ReadFile(kept), "earlier download") << url;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);  // nothing left beside it

    // A success replaces it.
    RecordingDownloader downloader;
    downloader.url = site.Url("/file.bin");
    downloader.filePath = kept;
    ASSERT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_TRUE(ReadFile(kept) == SampleBody(HttpTestServer::kFileSize));
}

TEST(HttpDownloaderStallTest, SilenceUnaskedPiecesAndOverlongLengthsAreHandled) {
    TempFolder folder;
    auto download = [&](const std::vector<ScriptedTcpServer::Step>& script, bool holdOpen) {
        ScriptedTcpServer server(script, holdOpen);
        auto downloader = std::make_unique<RecordingDownloader>();
        downloader->url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/video.flv";
        downloader->filePath = folder.File("video.flv");
        downloader->stallLimitMs = 300;
        downloader->DownloadToFile();
        return downloader;
    };
    // Silent before any answer, and silent in the middle of the body.
    auto beforeAnswer = download({}, true);
    EXPECT_THAT(beforeAnswer->systemErrors, ElementsAre(Pair(1610, static_cast<uint32_t>(CURLE_OPERATION_TIMEDOUT))));
    EXPECT_EQ(beforeAnswer->LastErrorDescription(), "No data arrived from the server for 0.3 seconds");
    auto inBody = download(StalledBody(), true);
    EXPECT_THAT(inBody->systemErrors, ElementsAre(Pair(1612, static_cast<uint32_t>(CURLE_OPERATION_TIMEDOUT))));
    EXPECT_FALSE(Exists(folder.File("video.flv")));

    // A piece of the file when the whole was asked for is not the file.
    auto piece = download(
        {{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/100\r\nContent-Length: 5\r\n\r\nvideo", 0}}, false);
    EXPECT_THAT(piece->httpErrors, ElementsAre(Pair(1611, 206u)));
    EXPECT_FALSE(Exists(folder.File("video.flv")));

    // A length too large for 64 bits is no length: the body runs to the close.
    auto huge = download({{"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nvideo", 0}}, false);
    EXPECT_TRUE(huge->contentLengths.empty());
    EXPECT_EQ(ReadFile(folder.File("video.flv")), "video");
}

TEST(HttpDownloaderProxyTest, NamedProxyCarriesTheRequest) {
    ScriptedTcpServer proxy({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nvideo", 0}}, false);
    RecordingDownloader downloader;
    downloader.url = "http://videos.example.invalid/clip.flv";
    downloader.accessType = 2;
    downloader.proxyServer = "127.0.0.1:" + std::to_string(proxy.Port());
    EXPECT_EQ(downloader.DownloadToFile(), 1) << downloader.LastErrorDescription();
    EXPECT_THAT(proxy.ReceivedRequest(), ::testing::StartsWith("GET http://videos.example.invalid/clip.flv "));
}

TEST(HttpDownloaderProxyTest, SystemSettingsTakeTheProxyFromTheEnvironment) {
    ScriptedTcpServer proxy({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nvideo", 0}}, false);
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
    RecordingDownloader downloader;
    downloader.url = "http://videos.example.invalid/clip.flv";
    int result = downloader.DownloadToFile();
    unsetenv("http_proxy");
    EXPECT_EQ(result, 1) << downloader.LastErrorDescription();
    EXPECT_THAT(proxy.ReceivedRequest(), ::testing::StartsWith("GET http://videos.example.invalid/clip.flv "));
}

TEST(HttpDownloaderProxyTest, DirectAccessIgnoresTheProxyVariablesAndUnknownAccessOpensNothing) {
    HttpTestServer server;
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(test::UnusedPort())).c_str(), 1);
    RecordingDownloader direct;
    direct.url = server.Url("/file.bin");
    direct.accessType = 1;
    EXPECT_EQ(direct.DownloadToFile(), 1) << direct.LastErrorDescription();
    unsetenv("http_proxy");

    RecordingDownloader unknown;
    unknown.url = server.Url("/file.bin");
    unknown.accessType = 3;
    EXPECT_EQ(unknown.DownloadToFile(), 0);
    EXPECT_TRUE(unknown.systemErrors.empty());
    EXPECT_EQ(server.Requests(), 1);
}

TEST(HttpDownloaderUrlTest, ParseUrlSplitsAndRetriesWithHttp) {
    std::string url = "example.org/videos/clip.flv?id=7";
    uint32_t service = 0;
    std::string host, object;
    uint16_t port = 0;
    ASSERT_TRUE(HttpDownloader::ParseUrl(url, service, host, object, port));
    EXPECT_EQ(url, "http://example.org/videos/clip.flv?id=7");
    EXPECT_EQ(service, kServiceHttp);
    EXPECT_EQ(host, "example.org");
    EXPECT_EQ(object, "/videos/clip.flv?id=7");
    EXPECT_EQ(port, 80);

    url = "https://example.org:8443/a";
    ASSERT_TRUE(HttpDownloader::ParseUrl(url, service, host, object, port));
    EXPECT_EQ(service, kServiceHttps);
    EXPECT_EQ(port, 8443);

    url = "";
    EXPECT_FALSE(HttpDownloader::ParseUrl(url, service, host, object, port));
    url = "ftp://example.org/a";  // another scheme is not taken for a host name
    EXPECT_FALSE(HttpDownloader::ParseUrl(url, service, host, object, port));
}

}  // namespace
}  // namespace tarnwick

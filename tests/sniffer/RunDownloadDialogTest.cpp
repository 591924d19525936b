// SPDX-License-Identifier: GPL-3.0-or-later
// The window's downloads run the dialog that fits the entry, with the browser's captured fields.
#include <gtest/gtest.h>

#include "platform/RecordingWindowServices.h"
#include "resources/ResourceIds.h"
#include "sniffer/DownloadDialogs.h"
#include "tests/download/HttpTestServer.h"
#include "tests/download/SampleData.h"
#include "tests/download/StreamTestSite.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

// The request a browser sent, with the cookie and page address that the test servers ask for.
std::string BrowserRequest(const std::string& path, int port, const char* cookie, const char* referer) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nUser-Agent: Firefox/128.0" +
           "\r\nCookie: " + cookie + "\r\nReferer: " + referer + "\r\n\r\n";
}

// What the dialog said when it failed.
std::string Said(const RecordingWindowServices& services) {
    return services.Messages().empty() ? "" : services.Messages()[0].text;
}

TEST(RunDownloadDialog, AFileIsFetchedWithTheBrowsersCookieAndReferrer) {
    test::HttpTestServer server;
    testing::TempDir dir;
    RecordingWindowServices services;
    DownloadRequest request;
    request.url = server.Url("/guarded");
    request.filePath = dir / "clip.flv";
    request.requestText =
        BrowserRequest("/guarded", server.Port(), test::HttpTestServer::kCookie, test::HttpTestServer::kReferer);
    ASSERT_EQ(RunDownloadDialog(services, request), kIdOk) << Said(services);
    EXPECT_TRUE(testing::ReadFile(dir / "clip.flv") == test::SampleBody(test::HttpTestServer::kFileSize));
    EXPECT_EQ(server.LastHeader("User-Agent"), "Firefox/128.0");
}

TEST(RunDownloadDialog, AStreamIsCopiedWithTheBrowsersCookieAndReferrer) {
    test::StreamTestSite site;
    ASSERT_EQ(site.Problem(), "");
    testing::TempDir dir;
    RecordingWindowServices services;
    DownloadRequest request;
    request.stream = true;
    request.url = site.Url("/guarded/master.m3u8");
    request.filePath = dir / "stream.mp4";
    request.requestText = BrowserRequest("/guarded/master.m3u8", site.Port(), test::StreamTestSite::kCookie,
                                         test::StreamTestSite::kReferer);
    ASSERT_EQ(RunDownloadDialog(services, request), kIdOk) << Said(services);
    EXPECT_NEAR(test::ProbeDuration(dir / "stream.mp4"), test::StreamTestSite::kDurationSeconds, 0.3);
}

}  // namespace
}  // namespace tarnwick

// SPDX-License-Identifier: GPL-3.0-or-later
// RawRequestDownloader against scripted servers on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "HttpTestServer.h"
#include "ScriptedTcpServer.h"
#include "TempPath.h"
#include "UntrustedHttpsServer.h"
#include "capture/session/OwnConnections.h"
#include "download/RawRequestDownloader.h"

namespace tarnwick {
namespace {

using test::Exists;
using test::ReadFile;
using test::ScriptedTcpServer;
using test::TempFolder;
using ::testing::HasSubstr;

const std::string kRequest =
    "GET /videoplayback?id=42 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Browser\r\nCookie: a=b\r\n\r\n";

class RecordingRawDownloader : public RawRequestDownloader {
public:
    std::vector<std::pair<int64_t, int64_t>> progress;

protected:
    void OnProgress(int64_t bytes, int32_t, int64_t total) override { progress.emplace_back(bytes, total); }
};

struct RawFixture : ::testing::Test {
    TempFolder folder;
    RecordingRawDownloader downloader;

    int Run(const ScriptedTcpServer& server) {
        downloader.url = "http://127.0.0.1/videoplayback?id=42";
        downloader.port = static_cast<uint16_t>(server.Port());
        downloader.requestText = kRequest;
        downloader.filePath = folder.File("clip.flv");
        downloader.expectedSize = 8;
        return downloader.Download();
    }
};

TEST_F(RawFixture, SavesExactlyTheBytesAfterTheBlankLine) {
    ScriptedTcpServer server(
        {{"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\nFLV\x01\r\n\r\n", 0}, {"tail", 100}}, false);
    ASSERT_EQ(Run(server), 1) << downloader.ErrorText();
    EXPECT_EQ(server.ReceivedRequest(), kRequest);
    EXPECT_EQ(ReadFile(downloader.filePath), "FLV\x01\r\n\r\ntail");
    ASSERT_FALSE(downloader.progress.empty());
    EXPECT_EQ(downloader.progress.back(), (std::pair<int64_t, int64_t>{12, 8}));
}

TEST_F(RawFixture, HeaderSplitAcrossReadsKeepsItsLengthAndTheBodyIsSavedWhole) {
    // The blank line is split between two reads, and the body itself holds CR LF CR LF.
    const std::string body = "FLV\x01" + std::string(100, 'a') + "\r\n\r\n" + std::string(100, 'b');
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r", 0},
                              {"\n" + body.substr(0, 50), 50},
                              {body.substr(50), 50}},
                             true);
    ASSERT_EQ(Run(server), 1) << downloader.ErrorText();
    EXPECT_TRUE(ReadFile(downloader.filePath) == body);
}

TEST_F(RawFixture, ChunkedBodyIsDecoded) {
    const std::string body = std::string(100, 'v') + "0\r\n\r\n" + std::string(20, 'w');
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n64\r\n" + body.substr(0, 60), 0},
                              {body.substr(60, 40) + "\r\n1", 50},
                              {"9;ext=1\r\n" + body.substr(100) + "\r\n0\r\nTrailer: x\r\n\r\n", 50}},
                             true);  // kept alive: the last chunk ends the body
    ASSERT_EQ(Run(server), 1) << downloader.ErrorText();
    EXPECT_TRUE(ReadFile(downloader.filePath) == body);
}

TEST_F(RawFixture, MalformedOrPartialAnswersAreFailuresThatKeepAnExistingFile) {
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nvideo\r\nzz\r\nmore\r\n0\r\n\r\n",
         "not a chunk size"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nvideo\r\n", "chunked body"},
        {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/100\r\nContent-Length: 5\r\n\r\nvideo",
         "only a part"},
    };
    for (const auto& [answer, reason] : answers) {
        ScriptedTcpServer server({{answer, 0}}, false);
        test::WriteFile(folder.File("clip.flv"), "precious");
        EXPECT_EQ(Run(server), 0) << answer;
        EXPECT_THAT(downloader.ErrorText(), HasSubstr(reason));
        EXPECT_EQ(ReadFile(folder.File("clip.flv")), "precious");
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);  // nothing left beside it
}

TEST_F(RawFixture, ASilentServerFailsAfterTheStallLimit) {
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nvid", 0}}, true);
    downloader.stallLimitMs = 300;
    EXPECT_EQ(Run(server), 0);
    EXPECT_EQ(downloader.ErrorText(), "No data arrived from the server for 0.3 seconds");
    EXPECT_FALSE(Exists(downloader.filePath));
}

TEST_F(RawFixture, ErrorStatusIsNotSavedAsTheVideo) {
    ScriptedTcpServer server({{"HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\n\r\nforbidden", 0}}, false);
    EXPECT_EQ(Run(server), 0);
    EXPECT_THAT(downloader.ErrorText(), HasSubstr("403 Forbidden"));
    EXPECT_FALSE(Exists(downloader.filePath));
}

TEST_F(RawFixture, AnEmptyAnswerIsAFailureNotAnEmptyVideo) {
    for (const std::string answer :
         {"HTTP/1.1 204 No Content\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}) {
        ScriptedTcpServer server({{answer, 0}}, true);
        EXPECT_EQ(Run(server), 0) << answer;
        EXPECT_THAT(downloader.ErrorText(), HasSubstr("sent no data"));
        EXPECT_FALSE(Exists(downloader.filePath));
    }
}

TEST_F(RawFixture, TheReplaysSocketIsOneOfOurOwnConnections) {
    test::HttpTestServer server;
    downloader.url = "http://127.0.0.1/file.bin";
    downloader.port = static_cast<uint16_t>(server.Port());
    downloader.requestText = "GET /file.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    downloader.filePath = folder.File("clip.flv");
    ASSERT_EQ(downloader.Download(), 1) << downloader.ErrorText();
    EXPECT_TRUE(OwnConnections::Process().Owns(static_cast<uint16_t>(server.LastClientPort()),
                                               static_cast<uint16_t>(server.Port()), server.LastRequestTimeMs()));
}

TEST_F(RawFixture, AnnouncedLengthEndsAKeptAliveConnection) {
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nvideo", 0}}, true);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Run(server), 1) << downloader.ErrorText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(ReadFile(downloader.filePath), "video");
}

TEST_F(RawFixture, ConnectionClosedBeforeTheAnnouncedLengthIsAFailure) {
    ScriptedTcpServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nvideo", 0}}, false);
    EXPECT_EQ(Run(server), 0);
    EXPECT_THAT(downloader.ErrorText(), HasSubstr("5 of 500"));
    EXPECT_FALSE(Exists(downloader.filePath));
}

TEST_F(RawFixture, CancelStopsASilentServerPromptly) {
    ScriptedTcpServer server({}, true);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        downloader.Abort();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(server), 0);
    auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_LT(took, std::chrono::milliseconds(1200));
    EXPECT_FALSE(Exists(downloader.filePath));
}

TEST_F(RawFixture, RefusedConnectionIsAFailureWithoutFile) {
    downloader.url = "http://127.0.0.1/clip.flv";
    downloader.port = static_cast<uint16_t>(test::UnusedPort());
    downloader.requestText = kRequest;
    downloader.filePath = folder.File("clip.flv");
    EXPECT_EQ(downloader.Download(), 0);
    EXPECT_THAT(downloader.ErrorText(), HasSubstr("Could not connect"));
    EXPECT_FALSE(Exists(downloader.filePath));
}

TEST(RawRequestHostTest, HostIsTakenFromTheUrl) {
    EXPECT_EQ(RawRequestDownloader::HostOf("http://v1.example.com/get_video?id=1"), "v1.example.com");
    EXPECT_EQ(RawRequestDownloader::HostOf("http://v1.example.com:8080/x"), "v1.example.com:8080");
    EXPECT_EQ(RawRequestDownloader::HostOf("v1.example.com"), "v1.example.com");
    EXPECT_EQ(RawRequestDownloader::HostOf("/path"), "/path");
}

}  // namespace
}  // namespace tarnwick

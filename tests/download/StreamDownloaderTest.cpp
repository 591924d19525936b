// SPDX-License-Identifier: GPL-3.0-or-later
// Streams copied by ffmpeg: whole files with the stream's duration, and no file after a failure or Cancel.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "StreamTestSite.h"
#include "UntrustedHttpsServer.h"
#include "capture/session/OwnConnections.h"
#include "download/FfmpegProgressReader.h"
#include "download/MediaDurationProbe.h"
#include "download/StreamDownloader.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

// Nothing but the target is left in the folder: no temporary copy.
std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

class StreamDownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { site = new test::StreamTestSite(); }
    static void TearDownTestSuite() {
        delete site;
        site = nullptr;
    }
    void SetUp() override { ASSERT_EQ(site->Problem(), ""); }

    static test::StreamTestSite* site;
    testing::TempDir dir;
};
test::StreamTestSite* StreamDownloaderTest::site = nullptr;

TEST_F(StreamDownloaderTest, HlsAndDashStreamsBecomeFilesOfTheirDuration) {
    for (const std::string path : {"/hls/master.m3u8", "/dash/manifest.mpd"}) {
        StreamDownloader download;
        download.url = site->Url(path);
        download.filePath = dir / "copy.mp4";
        int reports = 0;
        StreamDownloader::Progress last;
        download.onProgress = [&](const StreamDownloader::Progress& progress) {
            ++reports;
            last = progress;
        };
        ASSERT_EQ(download.Download(), 1) << path << ": " << download.ErrorText();
        EXPECT_NEAR(test::ProbeDuration(dir / "copy.mp4"), test::StreamTestSite::kDurationSeconds, 0.3) << path;
        EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"copy.mp4"});
        EXPECT_GT(reports, 0);
        EXPECT_GT(last.bytesWritten, 0);
        ASSERT_TRUE(last.durationUs) << path;
        EXPECT_NEAR(static_cast<double>(*last.durationUs) / 1e6, test::StreamTestSite::kDurationSeconds, 0.3);
    }
}

TEST_F(StreamDownloaderTest, AStaticDashManifestOfNumberedSegmentsIsSavedWhole) {
    // ffmpeg asks such a manifest for one segment past its end, which the server cannot have.
    StreamDownloader download;
    download.url = site->Url("/dashtpl/manifest.mpd");
    download.filePath = dir / "copy.mp4";
    ASSERT_EQ(download.Download(), 1) << download.ErrorText();
    EXPECT_NEAR(test::ProbeDuration(dir / "copy.mp4"), test::StreamTestSite::kDurationSeconds, 0.3);
}

TEST_F(StreamDownloaderTest, ADashSegmentThatIsMissingFailsTheCopyWhereverItIs) {
    for (const std::string path : {"/dashtplholey/manifest.mpd", "/dashtplshort/manifest.mpd"}) {
        StreamDownloader download;
        download.url = site->Url(path);
        download.filePath = dir / "copy.mp4";
        EXPECT_EQ(download.Download(), 0) << path;
        EXPECT_NE(download.ErrorText().find("could not fetch every segment"), std::string::npos)
            << download.ErrorText();
        EXPECT_TRUE(FilesIn(dir.path()).empty()) << path;
    }
}

TEST_F(StreamDownloaderTest, EveryFetchOfFfmpegIsOneOfOurOwnConnections) {
    const size_t before = site->Visits().size();
    StreamDownloader download;
    download.url = site->Url("/hls/master.m3u8");
    download.filePath = dir / "copy.mp4";
    ASSERT_EQ(download.Download(), 1) << download.ErrorText();
    const std::vector<test::StreamTestSite::Visit> visits = site->Visits();
    ASSERT_GT(visits.size(), before + 2);  // both playlists and the segments
    for (size_t i = before; i < visits.size(); ++i)
        EXPECT_TRUE(OwnConnections::Process().Owns(static_cast<uint16_t>(visits[i].clientPort),
                                                   static_cast<uint16_t>(site->Port()), visits[i].timeMs))
            << visits[i].path;
}

TEST_F(StreamDownloaderTest, TheBrowsersCookieAndReferrerGoWithEveryFetchOfTheStream) {
    StreamDownloader refused;
    refused.url = site->Url("/guarded/master.m3u8");
    refused.filePath = dir / "copy.mp4";
    EXPECT_EQ(refused.Download(), 0);

    StreamDownloader download;
    download.url = site->Url("/guarded/master.m3u8");
    download.filePath = dir / "copy.mp4";
    download.capturedRequest = "GET /guarded/master.m3u8 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(site->Port()) +
                               "\r\nCookie: " + test::StreamTestSite::kCookie +
                               "\r\nReferer: " + test::StreamTestSite::kReferer + "\r\n\r\n";
    ASSERT_EQ(download.Download(), 1) << download.ErrorText();
    EXPECT_NEAR(test::ProbeDuration(dir / "copy.mp4"), test::StreamTestSite::kDurationSeconds, 0.3);
}

TEST_F(StreamDownloaderTest, HttpsStreamsAreCopiedOnlyFromServersWhoseCertificateHolds) {
    test::UntrustedHttpsServer server({site->Folder(), true});
    ASSERT_TRUE(server.Ready()) << "no test certificate: is the openssl tool installed (scripts/deps.sh)?";
    StreamDownloader untrusted;
    untrusted.url = server.Url("/hls/master.m3u8");
    untrusted.filePath = dir / "copy.mp4";
    EXPECT_EQ(untrusted.Download(), 0);
    EXPECT_NE(untrusted.ErrorText().find("certificate of 127.0.0.1 port " + std::to_string(server.Port()) +
                                         " cannot be trusted"),
              std::string::npos)
        << untrusted.ErrorText();
    EXPECT_TRUE(FilesIn(dir.path()).empty());

    // The same server once its certificate is trusted: the copy is whole.
    StreamDownloader trusted;
    trusted.url = server.Url("/hls/master.m3u8");
    trusted.filePath = dir / "copy.mp4";
    trusted.caBundle = server.CertificatePath();
    ASSERT_EQ(trusted.Download(), 1) << trusted.ErrorText();
    EXPECT_NEAR(test::ProbeDuration(dir / "copy.mp4"), test::StreamTestSite::kDurationSeconds, 0.3);
}

TEST_F(StreamDownloaderTest, SegmentsOnAnUntrustedServerFailAlthoughThePlaylistsServerIsTrusted) {
    // ffmpeg itself checks the certificate of the playlist's server only, never of the segments'.
    test::UntrustedHttpsServer segments({site->Folder(), true});
    ASSERT_TRUE(segments.Ready());
    testing::TempDir playlistFolder;
    std::istringstream lines(testing::ReadFile(site->Folder() + "/hls/index.m3u8"));
    std::string playlist;
    for (std::string line; std::getline(lines, line);)
        playlist += (line.rfind("seg", 0) == 0 ? segments.Url("/hls/") + line : line) + "\n";
    testing::WriteFile(playlistFolder / "index.m3u8", playlist);
    test::UntrustedHttpsServer playlists({playlistFolder.path().string(), true});
    ASSERT_TRUE(playlists.Ready());

    StreamDownloader download;
    download.url = playlists.Url("/index.m3u8");
    download.filePath = dir / "copy.mp4";
    download.caBundle = playlists.CertificatePath();
    EXPECT_EQ(download.Download(), 0);
    EXPECT_NE(download.ErrorText().find("certificate of 127.0.0.1 port " + std::to_string(segments.Port()) +
                                        " cannot be trusted"),
              std::string::npos)
        << download.ErrorText();
    EXPECT_TRUE(FilesIn(dir.path()).empty());
}

TEST_F(StreamDownloaderTest, FailuresAreSaidAndLeaveNoFile) {
    const std::string target = dir / "copy.mp4";
    struct Case {
        std::string ffmpeg;
        std::string path;
        std::string said;
    };
    for (const Case& c : {Case{"/nonexistent/ffmpeg", "/hls/master.m3u8", "needs ffmpeg, which was not found"},
                          Case{"ffmpeg", "/hls/nothing.m3u8", "ffmpeg could not copy the stream (exit status"},
                          Case{"ffmpeg", "/holey/index.m3u8", "could not fetch every segment"}}) {
        StreamDownloader download;
        download.ffmpegPath = c.ffmpeg;
        download.url = site->Url(c.path);
        download.filePath = target;
        EXPECT_EQ(download.Download(), 0) << c.path;
        EXPECT_NE(download.ErrorText().find(c.said), std::string::npos) << download.ErrorText();
        EXPECT_TRUE(FilesIn(dir.path()).empty()) << c.path;
    }
}

TEST_F(StreamDownloaderTest, AbortStopsFfmpegAtOnceAndRemovesThePartialCopy) {
    testing::WriteFile(dir / "copy.mp4", "the file from before");
    StreamDownloader download;
    download.url = site->Url("/stall/index.m3u8");
    download.filePath = dir / "copy.mp4";
    std::atomic<bool> copying{false};
    download.onProgress = [&](const StreamDownloader::Progress&) { copying = true; };
    std::thread worker([&] { EXPECT_EQ(download.Download(), 0); });
    // The first segment arrives; the second never does.
    for (int i = 0; i < 200 && site->Segments() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto stopped = Clock::now();
    download.Abort();
    worker.join();
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_TRUE(download.IsAborted());
    EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"copy.mp4"});
    EXPECT_EQ(testing::ReadFile(dir / "copy.mp4"), "the file from before");
}

TEST(FfmpegProgressReader, ADashFragmentSkippedBeforeOthersOfItsRepresentationIsAHole) {
    auto read = [](const std::vector<std::string>& lines) {
        FfmpegProgressReader reader;
        for (const std::string& line : lines) reader.ReadLog(line + "\n");
        return reader;
    };
    const std::string request = "[dash @ 0x1] [verbose] DASH request for url 'http://h/d/chunk-stream";
    const std::string failed = "[dash @ 0x1] [warning] Failed to open fragment of playlist";
    // One past the end of one representation: judged by what was copied.
    FfmpegProgressReader atEnd = read({request + "0-00004.m4s', offset 0", request + "1-00005.m4s', offset 0",
                                       request + "0-00005.m4s', offset 0", "[http @ 0x2] [warning] HTTP error 404",
                                       failed, "[dash @ 0x1] [error] Error when loading first fragment of playlist"});
    EXPECT_TRUE(atEnd.SkippedOnlyAtEnd());
    EXPECT_EQ(atEnd.SkippedSegmentLine(), "[dash @ 0x1] Failed to open fragment of playlist");
    EXPECT_EQ(atEnd.LastLogLine(), "[dash @ 0x1] Error when loading first fragment of playlist");
    // A later fragment of the same representation was fetched: a hole, whatever the other does.
    FfmpegProgressReader hole = read({request + "0-00002.m4s', offset 0", failed, request + "1-00002.m4s', offset 0",
                                      request + "0-00003.m4s', offset 0"});
    EXPECT_TRUE(hole.SkippedInside());
    // The fragment asked for last, still pending when the log ends, counts as fetched.
    EXPECT_TRUE(read({request + "0-00002.m4s', offset 0", failed, request + "0-00003.m4s', offset 0"}).SkippedInside());
    // A failure without a request before it cannot be placed; HLS lists only segments that exist.
    EXPECT_TRUE(read({failed}).SkippedInside());
    EXPECT_TRUE(read({"[hls @ 0x1] [warning] Failed to open segment 3 of playlist 0"}).SkippedInside());
}

TEST(MediaDurationProbe, ReadsSecondsAndFindsFfprobeBesideFfmpeg) {
    EXPECT_EQ(MediaDurationProbe::ParseSeconds("4.017052"), 4017052);
    EXPECT_EQ(MediaDurationProbe::ParseSeconds("12"), 12000000);
    EXPECT_FALSE(MediaDurationProbe::ParseSeconds("N/A"));
    EXPECT_FALSE(MediaDurationProbe::ParseSeconds("1.2.3"));
    EXPECT_EQ(MediaDurationProbe::ProbePathFor("/opt/ff/bin/ffmpeg"), "/opt/ff/bin/ffprobe");
    EXPECT_EQ(MediaDurationProbe::ProbePathFor("ffmpeg"), "ffprobe");
    EXPECT_EQ(MediaDurationProbe::ProbePathFor("/opt/ffmpeg/bin/copier"), "ffprobe");
}

TEST(FfmpegProgressReader, ReadsFiguresAndTheDurationInAnyPieces) {
    const std::string log =
        "Input #0, hls, from 'http://h/x.m3u8':\n  Duration: 00:01:04.50, start: 1.4, bitrate: N/A\n"
        "[hls @ 0x1] Failed to open segment 3 of playlist 0\r\nlast words\n";
    const std::string progress =
        "frame=10\ntotal_size=N/A\nout_time_us=500000\nprogress=continue\n"
        "total_size=4096\nout_time_us=64000000\nprogress=end\n";
    for (size_t piece : {size_t{1}, size_t{7}, log.size()}) {
        FfmpegProgressReader reader;
        for (size_t at = 0; at < log.size(); at += piece) reader.ReadLog(std::string_view(log).substr(at, piece));
        for (size_t at = 0; at < progress.size(); at += piece)
            reader.ReadProgress(std::string_view(progress).substr(at, piece));
        EXPECT_EQ(reader.DurationUs(), 64500000);
        EXPECT_EQ(reader.BytesWritten(), 4096);
        EXPECT_EQ(reader.CopiedUs(), 64000000);
        EXPECT_TRUE(reader.Ended());
        EXPECT_EQ(reader.LastLogLine(), "last words");
        EXPECT_EQ(reader.SkippedSegmentLine(), "[hls @ 0x1] Failed to open segment 3 of playlist 0");
    }
    EXPECT_FALSE(FfmpegProgressReader::ParseDuration("  Duration: N/A, start: 0"));
    EXPECT_FALSE(FfmpegProgressReader::ParseDuration("Duration: 00:61:00.00"));
    // An overlong line is dropped whole rather than read from its middle.
    FfmpegProgressReader reader;
    reader.ReadLog(std::string(FfmpegProgressReader::kMaxLineBytes + 1, 'x') + " Duration: 00:00:09.00\n");
    EXPECT_FALSE(reader.DurationUs());
}

}  // namespace
}  // namespace tarnwick

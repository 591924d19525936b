// SPDX-License-Identifier: GPL-3.0-or-later
// Headless output: JSON lines that stay valid whatever bytes were sniffed, and capture errors that say what to do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/DropReporter.h"
#include "app/GrowthLinePacer.h"
#include "app/JsonLine.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PublicCopy.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

TEST(JsonLine, SniffedBytesAreEscapedIntoValidJson) {
    EXPECT_EQ(JsonLine::Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonLine::Quote("\r\n\t\x01\x7f"), "\"\\r\\n\\t\\u0001\\u007f\"");
    EXPECT_EQ(JsonLine::Quote("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"),
              "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac\"");
    // Bytes that are not UTF-8 (a lone lead, an overlong form, a surrogate, a cut sequence) are escaped.
    EXPECT_EQ(JsonLine::Quote("\xc3"), "\"\\u00c3\"");
    EXPECT_EQ(JsonLine::Quote("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(JsonLine::Quote("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(JsonLine::Quote("\xe2\x82"), "\"\\u00e2\\u0082\"");
}

TEST(JsonLine, ReadableLineHidesControlCharacters) {
    SniffedVideo video;
    video.serial = 7;
    video.timeSniffed = "03:07:45 PM";
    video.type = "mp4";
    video.size = 1048576;
    video.url = "http://h/a\x1b[2Jb";
    video.adapter = "lo";
    EXPECT_EQ(JsonLine::FormatReadable(video), "7. 03:07:45 PM  mp4  1.00 MB (1048576 bytes)  http://h/a?[2Jb  [lo]");
}

TEST(JsonLine, DetailsFollowOnceReadAndSayWhyWhenMissing) {
    SniffedVideo video;
    video.serial = 3;
    video.timeSniffed = "03:07:45 PM";
    video.type = "mp4";
    video.size = 200000;
    video.url = "http://h/a.mp4";
    video.adapter = "lo";
    const std::string before = JsonLine::Format(video);
    auto details = std::make_shared<MediaDetails>();
    details->durationUs = 6'006'000;
    details->width = 480;
    details->height = 270;
    details->videoCodec = "h264";
    details->problem = "no picture: ffmpeg took too long and was stopped";
    video.details = details;
    EXPECT_EQ(JsonLine::Format(video), before.substr(0, before.size() - 1) +
                                           ",\"duration\":6.006,\"width\":480,\"height\":270,\"video_codec\":\"h264\","
                                           "\"details_error\":\"no picture: ffmpeg took too long and was stopped\"}");
    EXPECT_EQ(JsonLine::FormatReadable(video),
              "3. 03:07:45 PM  mp4  0.19 MB (200000 bytes)  http://h/a.mp4  [lo]  0:06  480x270  h264"
              "  (no picture: ffmpeg took too long and was stopped)");
}

TEST(GrowthLinePacer, GrowingEntriesPrintAtMostOnceASecondAndEndOnTheirLastFigures) {
    std::vector<std::string> lines;
    GrowthLinePacer pacer([&lines](const SniffedVideo& video) {
        lines.push_back(std::to_string(video.serial) + ":" + std::to_string(video.size));
    });
    auto at = [](int serial, int64_t size, int64_t ms) {
        SniffedVideo video;
        video.serial = serial;
        video.size = size;
        video.lastSeenMs = ms;
        return video;
    };
    pacer.Listed(at(1, 100, 10000));
    pacer.Grew(at(1, 200, 10400));    // held: too soon
    pacer.Listed(at(2, 500, 10500));  // another entry is printed at once
    pacer.Grew(at(1, 300, 10900));    // held, replacing the figures held before
    pacer.Flush(10999);               // not a second yet
    pacer.Grew(at(1, 400, 11000));    // a second after its last line
    pacer.Grew(at(2, 600, 11200));
    pacer.Flush(11600);  // entry 2's last line is 1.1 s old
    pacer.Grew(at(1, 700, 11500));
    pacer.Flush();  // the end: whatever is held
    pacer.Flush();
    EXPECT_EQ(lines, (std::vector<std::string>{"1:100", "2:500", "1:400", "2:600", "1:700"}));
}

TEST(DropReporter, DropsAreToldWhenTheyRiseAndAtTheEnd) {
    for (const bool json : {true, false}) {
        std::vector<std::string> out, error;
        DropReporter drops(
            json, [&](const std::string& line) { out.push_back(line); },
            [&](const std::string& line) { error.push_back(line); });
        drops.ReportRise("eth0", {1000, 0, 0});
        drops.ReportRise("eth0", {2000, 12, 0});
        drops.ReportRise("eth0", {3000, 12, 0});  // no rise, no line
        drops.ReportRise("lo", {10, 0, 0});
        drops.ReportRise("eth0", {4000, 30, 2});
        drops.ReportEnd("eth0", {5000, 30, 2});
        drops.ReportEnd("lo", {10, 0, 0});
        if (json) {
            EXPECT_EQ(out, (std::vector<std::string>{
                               "{\"adapter\":\"eth0\",\"received\":2000,\"dropped\":12}",
                               "{\"adapter\":\"eth0\",\"received\":4000,\"dropped\":30,\"interface_dropped\":2}",
                               "{\"adapter\":\"eth0\",\"received\":5000,\"dropped\":30,\"interface_dropped\":2}",
                               "{\"adapter\":\"lo\",\"received\":10,\"dropped\":0}"}));
            EXPECT_EQ(error.size(), 2u);
        } else {
            EXPECT_TRUE(out.empty());
            ASSERT_EQ(error.size(), 4u);
            EXPECT_EQ(error[0].rfind("eth0: 12 packets lost under load so far", 0), 0u) << error[0];
            EXPECT_EQ(error[1].rfind("eth0: 32 packets lost under load so far", 0), 0u) << error[1];
        }
        EXPECT_EQ(
            error[error.size() - 2],
            "eth0: 5000 packets received by filter, 30 packets dropped by kernel, 2 packets dropped by interface");
        EXPECT_EQ(error.back(), "lo: 10 packets received by filter, 0 packets dropped by kernel");
    }
}

TEST(HeadlessErrors, CaptureWithoutPermissionSaysHowToFixIt) {
    // The unprivileged user runs a copy it can reach, wherever the build folder lies.
    const int user = geteuid() == 0 ? testing::kNobody : -1;
    const testing::PublicCopy program(TARNWICK_BINARY, user);
    ASSERT_FALSE(program.Path().empty()) << program.Error();
    testing::ChildProcess child({program.Path(), "--headless", "--interface", "lo"}, user);
    ASSERT_TRUE(child.Started());
    const int status = child.Finish();
    if (status == testing::ChildProcess::kCannotDropUser) GTEST_SKIP() << child.Stderr();
    if (child.Stderr().find("capturing on lo") != std::string::npos) {
        kill(child.Pid(), SIGTERM);
        GTEST_SKIP() << "this user may capture";
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(child.Stderr().find("permission denied"), std::string::npos) << child.Stderr();
    EXPECT_NE(child.Stderr().find("cap_net_raw,cap_net_admin"), std::string::npos) << child.Stderr();
}

TEST(HeadlessErrors, UnknownInterfaceIsAnError) {
    testing::ChildProcess child({TARNWICK_BINARY, "--headless", "--interface", "no-such-adapter0"});
    EXPECT_EQ(child.Finish(), 1);
    EXPECT_NE(child.Stderr().find("no-such-adapter0"), std::string::npos) << child.Stderr();
}

TEST(HeadlessErrors, SaveDirThatIsAFileIsNamedSo) {
    testing::TempDir dir;
    const std::string file = dir.Write("not-a-folder", "x");
    testing::ChildProcess child({TARNWICK_BINARY, "--headless", "--save-dir", file});
    EXPECT_EQ(child.Finish(), 1);
    EXPECT_NE(child.Stderr().find(file + ": it is not a folder"), std::string::npos) << child.Stderr();
}

}  // namespace
}  // namespace tarnwick

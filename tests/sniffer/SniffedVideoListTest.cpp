// SPDX-License-Identifier: GPL-3.0-or-later
// The sniffed video list through recorded window services: filters, rows, buttons, eviction and serials.
#include <gtest/gtest.h>

#include <thread>

#include "platform/RecordingWindowServices.h"
#include "sniffer/SniffedVideoList.h"
#include "sniffer/SnifferHost.h"

namespace tarnwick {
namespace {

WindowHandle const kWindow = reinterpret_cast<WindowHandle>(0x1000);

DetectedVideo Video(const std::string& url, const std::string& length, const std::string& type = "mp4\r\n") {
    DetectedVideo video;
    video.url = url;
    video.contentLength = length;
    video.videoType = type;
    video.requestText = "GET " + url + " HTTP/1.1\r\n\r\n";
    video.seenAtSeconds = 15 * 3600 + 7 * 60 + 45;  // 03:07:45 PM in GMT
    return video;
}

class SniffedVideoListTest : public ::testing::Test {
protected:
    void SetUp() override { SniffSerialCounter = 0; }
    std::vector<RecordingWindowServices::Row> Rows() const { return services.Rows(kWindow, SniffedVideoList::kListId); }
    bool Enabled(int id) const { return services.Control(kWindow, id).enabled; }

    RecordingWindowServices services;
    SniffedVideoList list{&services, kWindow};
};

TEST_F(SniffedVideoListTest, SizeThresholdAndNumberParsing) {
    list.AddDetectedVideo(Video("http://h/99999", "99999\r\n"));
    list.AddDetectedVideo(Video("http://h/letters", "abc\r\n"));
    list.AddDetectedVideo(Video("http://h/empty", ""));
    list.AddDetectedVideo(Video("http://h/negative", "-200000\r\n"));
    EXPECT_EQ(list.Count(), 0);
    list.AddDetectedVideo(Video("http://h/100000", "100000\r\n"));
    list.AddDetectedVideo(Video("http://h/trailing", "  250000abc"));
    list.AddDetectedVideo(Video("http://h/huge", "3000000000\r\n"));  // beyond 32 bits
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Slot(1).size, 250000);
    EXPECT_EQ(list.Slot(2).size, 3000000000LL);
    EXPECT_EQ(Rows()[0].columns[1], "2861.02 MB");
}

TEST_F(SniffedVideoListTest, DuplicatesByUrlOrSizeAreDroppedUntilRemoved) {
    list.AddDetectedVideo(Video("http://h/a", "200000\r\n"));
    list.AddDetectedVideo(Video("http://h/a", "300000\r\n"));
    list.AddDetectedVideo(Video("http://h/b", "200000\r\n"));
    ASSERT_EQ(list.Count(), 1);
    list.RemoveAt(0);
    EXPECT_EQ(list.Count(), 0);
    list.AddDetectedVideo(Video("http://h/a", "200000\r\n"));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Slot(0).serial, 2);  // serials are never reused
}

TEST_F(SniffedVideoListTest, RowsShowNewestFirstWithLabelTypeAndSize) {
    list.AddDetectedVideo(Video("http://h/one", "1048576\r\n", "x-flv\r\n"));
    list.AddDetectedVideo(Video("http://h/two", "100000\r\n", "x-ms-wmv\r\nServer: x\r\n"));
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].label, "2. 03:07:45 PM");
    EXPECT_EQ(rows[0].columns, (std::vector<std::string>{"ms-wmv", "0.10 MB"}));
    EXPECT_EQ(rows[1].label, "1. 03:07:45 PM");
    EXPECT_EQ(rows[1].columns, (std::vector<std::string>{"flv", "1.00 MB"}));
    EXPECT_TRUE(rows[0].selected);
    EXPECT_EQ(list.GetSelectedRow(), 0);
    EXPECT_EQ(list.SlotOfRow(0), 1);
}

TEST_F(SniffedVideoListTest, TypeCleaning) {
    EXPECT_EQ(SniffedVideoList::CleanType("x-flv\r\n"), "flv");
    EXPECT_EQ(SniffedVideoList::CleanType("x-ms-wmv\r\n"), "ms-wmv");
    EXPECT_EQ(SniffedVideoList::CleanType("mp4\r\nContent-Length: 5\r\n"), "mp4");
    EXPECT_EQ(SniffedVideoList::CleanType("\r\nmp4"), "\r\nmp4");
    EXPECT_EQ(SniffedVideoList::CleanType("x-flv"), "flv");
}

TEST_F(SniffedVideoListTest, ButtonsFollowTheEntries) {
    list.RefreshRows();
    for (int id : {1138, 1139, 1140, 1141}) EXPECT_FALSE(Enabled(id)) << id;
    list.AddDetectedVideo(Video("http://h/a", "200000\r\n"));
    for (int id : {1138, 1139, 1140, 1141}) EXPECT_TRUE(Enabled(id)) << id;
    list.RemoveAt(5);  // outside: nothing happens
    EXPECT_EQ(list.Count(), 1);
    list.RemoveAt(0);
    for (int id : {1138, 1139, 1140, 1141}) EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Rows().empty());
}

TEST_F(SniffedVideoListTest, TwentySixthEntryEvictsTheOldestAndOnlyTheChangedRowsAreTouched) {
    for (int i = 1; i <= 30; ++i)
        list.AddDetectedVideo(Video("http://h/" + std::to_string(i), std::to_string(100000 + i)));
    EXPECT_EQ(list.Count(), 25);
    // A burst of detections puts in one row each, not the whole list again.
    EXPECT_EQ(services.RowInsertions(), 30);
    list.RemoveAt(12);
    EXPECT_EQ(services.RowInsertions(), 30);
    list.AddDetectedVideo(Video("http://h/1", "100001"));  // evicted before, so new
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 25u);
    EXPECT_EQ(rows.front().label.substr(0, 3), "31.");
    EXPECT_TRUE(rows.front().selected);
    EXPECT_EQ(rows[1].label.substr(0, 3), "30.");
    EXPECT_EQ(rows[13].label.substr(0, 3), "17.");  // 18 was removed
    EXPECT_EQ(rows.back().label.substr(0, 2), "6.");
    EXPECT_EQ(list.FindBySerial(6), 0);
    EXPECT_EQ(list.FindBySerial(5), -1);
    EXPECT_EQ(list.FindByUrl("http://h/30"), 23);
    EXPECT_EQ(list.FindBySize(100006), 0);
}

TEST_F(SniffedVideoListTest, RowImageLandsOnTheRowOfItsSlot) {
    list.AddDetectedVideo(Video("http://h/a", "200000"));
    list.AddDetectedVideo(Video("http://h/b", "300000"));
    list.SetRowImage(0, 2);
    EXPECT_EQ(list.Slot(0).rowImage, 2);
    EXPECT_EQ(Rows()[1].image, 2);
    EXPECT_EQ(Rows()[0].image, 0);
    list.AddDetectedVideo(Video("http://h/c", "400000"));
    EXPECT_EQ(Rows()[2].image, 2);  // kept through a rebuild
}

TEST_F(SniffedVideoListTest, VideoSharingSiteIsRecognisedAnywhereAfterTheStart) {
    list.AddDetectedVideo(Video("http://www.youtube.com/get_video?id=1", "200000"));
    list.AddDetectedVideo(Video("http://other/v.flv", "300000"));
    EXPECT_TRUE(list.Slot(0).isYouTube);
    EXPECT_FALSE(list.Slot(1).isYouTube);
}

TEST_F(SniffedVideoListTest, ClosedListDropsEverything) {
    list.Close();
    list.AddDetectedVideo(Video("http://h/a", "200000"));
    EXPECT_EQ(list.Count(), -1);
    EXPECT_EQ(SniffSerialCounter.load(), 0);
}

TEST_F(SniffedVideoListTest, ObserverSeesEveryAcceptedVideo) {
    std::vector<SniffedVideo> accepted;
    list.SetAcceptedObserver([&](const SniffedVideo& video) { accepted.push_back(video); });
    DetectedVideo video = Video("http://h/a", "200000");
    video.adapter = "eth1";
    list.AddDetectedVideo(video);
    list.AddDetectedVideo(video);
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].adapter, "eth1");
    EXPECT_EQ(accepted[0].timeSniffed, "03:07:45 PM");
    EXPECT_EQ(accepted[0].requestText, video.requestText);
}

DetectedVideo Piece(const std::string& url, VideoExtent extent, int64_t total) {
    DetectedVideo video = Video(url, "100000\r\n");  // the piece's own length
    video.extent = extent;
    video.totalSize = total;
    return video;
}

DetectedVideo Stream(const std::string& url, int64_t sum, int64_t segments, int64_t atMs) {
    DetectedVideo video = Video(url, "", "hls");
    video.extent = VideoExtent::Stream;
    video.totalSize = sum;
    video.segments = segments;
    video.seenAtMs = atMs;
    return video;
}

TEST_F(SniffedVideoListTest, PiecesCountWithTheWholeVideosSize) {
    list.AddDetectedVideo(Piece("http://h/a.mp4", VideoExtent::Piece, 250000));
    list.AddDetectedVideo(Piece("http://h/a.mp4", VideoExtent::Piece, 250000));
    // The same whole size under another URL is the same video; a piece of a small video is no video.
    list.AddDetectedVideo(Piece("http://h/copy.mp4", VideoExtent::Piece, 250000));
    list.AddDetectedVideo(Piece("http://h/small.mp4", VideoExtent::Piece, 99999));
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Slot(0).size, 250000);

    // Pieces of an unknown whole grow their entry as they reach further; its row changes in place.
    std::vector<int64_t> grown;
    list.SetGrownObserver([&](const SniffedVideo& video) { grown.push_back(video.size); });
    list.AddDetectedVideo(Piece("http://h/live.mp4", VideoExtent::PieceOfUnknown, 99999));
    list.AddDetectedVideo(Piece("http://h/live.mp4", VideoExtent::PieceOfUnknown, 200000));
    services.SelectRow(kWindow, SniffedVideoList::kListId, 1);
    list.AddDetectedVideo(Piece("http://h/live.mp4", VideoExtent::PieceOfUnknown, 150000));
    list.AddDetectedVideo(Piece("http://h/live.mp4", VideoExtent::PieceOfUnknown, 400000));
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Slot(1).size, 400000);
    EXPECT_EQ(list.Slot(1).serial, 2);
    EXPECT_EQ(grown, std::vector<int64_t>{400000});
    EXPECT_EQ(Rows()[0].columns[1], "0.38 MB");
    EXPECT_TRUE(Rows()[1].selected);
}

TEST_F(SniffedVideoListTest, StreamsGrowOneEntryAndAreNeverTakenForAnotherBySize) {
    std::vector<SniffedVideo> accepted, grown;
    list.SetAcceptedObserver([&](const SniffedVideo& video) { accepted.push_back(video); });
    list.SetGrownObserver([&](const SniffedVideo& video) { grown.push_back(video); });
    list.AddDetectedVideo(Video("http://h/clip.mp4", "300000\r\n"));
    list.AddDetectedVideo(Stream("http://h/master.m3u8", 60000, 3, 1000));
    EXPECT_EQ(list.Count(), 1);  // the sum is below the threshold yet
    list.AddDetectedVideo(Stream("http://h/master.m3u8", 300000, 9, 2000));
    list.AddDetectedVideo(Stream("http://h/master.m3u8", 300000, 9, 2500));  // nothing new
    list.AddDetectedVideo(Stream("http://h/master.m3u8", 420000, 12, 3000));
    ASSERT_EQ(list.Count(), 2);
    const SniffedVideo stream = list.Slot(1);
    EXPECT_TRUE(stream.isStream);
    EXPECT_EQ(stream.type, "hls");
    EXPECT_EQ(stream.size, 420000);
    EXPECT_EQ(stream.segments, 12);
    EXPECT_EQ(stream.lastSeenMs, 3000);
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(accepted[1].size, 300000);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[0].serial, stream.serial);
    EXPECT_EQ(Rows()[0].columns, (std::vector<std::string>{"hls", "0.40 MB"}));
}

TEST(SniffedVideoListFormat, TwelveHourClockAroundNoonAndMidnight) {
    EXPECT_EQ(SniffedVideoList::FormatTime(0), "12:00:00 AM");
    EXPECT_EQ(SniffedVideoList::FormatTime(12 * 3600 + 59), "12:00:59 PM");
    EXPECT_EQ(SniffedVideoList::FormatTime(23 * 3600 + 59 * 60), "11:59:00 PM");
}

// Detections arrive from several capture threads at once; every one is counted exactly once.
class ListHost final : public SnifferHost {
public:
    explicit ListHost(SniffedVideoList& list) : list_(list) {}
    void HandleDetection(DetectedVideo video) override { list_.AddDetectedVideo(video); }

private:
    SniffedVideoList& list_;
};

TEST(SniffedVideoListThreads, ConcurrentDetectionsThroughTheHook) {
    SniffSerialCounter = 0;
    SniffedVideoList list(nullptr, nullptr);
    std::atomic<int> accepted{0};
    list.SetAcceptedObserver([&](const SniffedVideo&) { ++accepted; });
    ListHost host(list);
    CurrentSnifferWindow = &host;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                DetectedVideo video;
                video.url = "h/" + std::to_string(t) + "/" + std::to_string(i);
                video.contentLength = std::to_string(100000 + t * 1000 + i);
                OnVideoDetected(video);
            }
        });
    for (auto& thread : threads) thread.join();
    CurrentSnifferWindow = nullptr;
    OnVideoDetected(DetectedVideo{"h/late", "", "500000", "mp4", "", 0});  // no host: dropped
    EXPECT_EQ(accepted.load(), 200);
    EXPECT_EQ(SniffSerialCounter.load(), 200);
    EXPECT_EQ(list.Count(), 25);
    EXPECT_EQ(list.Slot(0).url.rfind("http://h/", 0), 0u);
}

TEST_F(SniffedVideoListTest, DetailsStayWithTheirEntryAndLeaveWithIt) {
    std::vector<int> removed;
    list.SetRemovedObserver([&](const SniffedVideo& video) { removed.push_back(video.serial); });
    list.SetReadingDetails(true);
    list.AddDetectedVideo(Video("http://h/a", "200000\r\n"));
    EXPECT_EQ(Rows()[0].toolTip, "Reading its picture and length...\nhttp://h/a");
    auto details = std::make_shared<MediaDetails>();
    details->durationUs = 65'400'000;
    details->width = 640;
    details->height = 360;
    details->videoCodec = "h264";
    details->audioCodec = "aac";
    details->picture = "\xFF\xD8jpeg";
    list.SetDetails(1, details);
    // Rows are rebuilt as entries come and go: the tool tip goes with its entry's new row.
    list.AddDetectedVideo(Video("http://h/b\x1b", "300000\r\n"));
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[1].toolTip, "1:05 \u00b7 640 \u00d7 360 \u00b7 h264, aac\nhttp://h/a");
    EXPECT_TRUE(Rows()[1].hasPicture);
    auto failed = std::make_shared<MediaDetails>();
    failed->problem = "ffprobe took too long and was stopped";
    list.SetDetails(2, failed);
    EXPECT_EQ(Rows()[0].toolTip, "No details: ffprobe took too long and was stopped\nhttp://h/b?");
    EXPECT_FALSE(Rows()[0].hasPicture);

    // Removed or pushed out, an entry is said to have gone; its late details change nothing.
    list.RemoveAt(0);
    EXPECT_EQ(removed, std::vector<int>{1});
    list.SetDetails(1, details);
    EXPECT_EQ(Rows()[0].toolTip, "No details: ffprobe took too long and was stopped\nhttp://h/b?");
    for (int i = 0; i < SniffedVideoList::kMaxEntries; ++i)
        list.AddDetectedVideo(Video("http://h/" + std::to_string(i), std::to_string(400000 + i) + "\r\n"));
    EXPECT_EQ(removed, (std::vector<int>{1, 2}));
    EXPECT_FALSE(list.Slot(SniffedVideoList::kMaxEntries - 1).details);
}

}  // namespace
}  // namespace tarnwick
